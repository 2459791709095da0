// Files on Windows.
#include <cstdio>

#include "platform/systemCalls.h"
#include "platform/windowsHeaders.h"

// Windows interrupts no call: a request to stop cancels the main thread's blocking read or
// write, which then fails as aborted.
const int systemInterruptedError = int(ERROR_OPERATION_ABORTED);
const int systemNoSpaceError = int(ERROR_DISK_FULL);

bool systemInterrupted(int)
{
    return false;
}

// Without FILE_FLAG_BACKUP_SEMANTICS CreateFileA refuses directories (access denied), which
// is the refusal the movie files need. Files the run writes are not shared for deletion, so
// that another run cannot remove them while they are open.
static int openFile(const char* name, DWORD access, DWORD creation, DWORD flags, osFile* file)
{
    HANDLE handle = CreateFileA(name, access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, creation, flags, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return lastError();
    *file = reinterpret_cast<osFile>(handle);
    return 0;
}

int systemOpenForReading(const char* name, osFile* file)
{
    // Every input is read once from start to end, so the hint goes with the open.
    return openFile(name, GENERIC_READ, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, file);
}

int systemCreateNew(const char* name, osFile* file)
{
    return openFile(name, GENERIC_WRITE, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, file);
}

int systemOpenForWriting(const char* name, osFile* file)
{
    return openFile(name, GENERIC_WRITE, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, file);
}

int systemClose(osFile file)
{
    return CloseHandle(handleOf(file)) ? 0 : lastError();
}

int systemSync(osFile file)
{
    return FlushFileBuffers(handleOf(file)) ? 0 : lastError();
}

int systemRemoveFile(const char* name)
{
    return DeleteFileA(name) ? 0 : lastError();
}

int systemRename(const char* from, const char* to)
{
    return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING) ? 0 : lastError();
}

int systemLink(const char* existing, const char* link)
{
    return CreateHardLinkA(link, existing, nullptr) ? 0 : lastError();
}

// At an offset, a synchronous handle reads and writes there and moves its own position on.
static OVERLAPPED* placeOf(std::int64_t offset, OVERLAPPED* place)
{
    if (offset == osAtPosition)
        return nullptr;
    ZeroMemory(place, sizeof *place);
    place->Offset = DWORD(std::uint64_t(offset) & 0xFFFFFFFFu);
    place->OffsetHigh = DWORD(std::uint64_t(offset) >> 32);
    return place;
}

int systemRead(osFile file, void* buffer, std::size_t bytes, std::int64_t offset, std::size_t* got)
{
    DWORD n = 0;
    OVERLAPPED place;
    *got = 0;
    if (!ReadFile(handleOf(file), buffer, DWORD(bytes), &n, placeOf(offset, &place))) {
        // A pipe whose writer has gone reports its end as a broken pipe; a read past the
        // end of a file at an offset, as the end of the file.
        const DWORD error = GetLastError();
        return error == ERROR_BROKEN_PIPE || error == ERROR_HANDLE_EOF ? 0 : lastError();
    }
    *got = n;
    return 0;
}

int systemWrite(osFile file, const void* buffer, std::size_t bytes, std::int64_t offset, std::size_t* put)
{
    DWORD n = 0;
    OVERLAPPED place;
    *put = 0;
    if (!WriteFile(handleOf(file), buffer, DWORD(bytes), &n, placeOf(offset, &place)))
        return lastError();
    *put = n;
    return 0;
}

bool systemRegularFileSize(osFile file, std::int64_t* size)
{
    LARGE_INTEGER length;
    if (GetFileType(handleOf(file)) != FILE_TYPE_DISK || !GetFileSizeEx(handleOf(file), &length))
        return false;
    *size = std::int64_t(length.QuadPart);
    return true;
}

int systemReserveSpace(osFile file, std::int64_t bytes)
{
    // The allocation, not the length: the file stays as long as what was written.
    FILE_ALLOCATION_INFO allocation;
    allocation.AllocationSize.QuadPart = bytes;
    if (SetFileInformationByHandle(handleOf(file), FileAllocationInfo, &allocation, sizeof allocation))
        return 0;
    const int error = lastError();
    return error == int(ERROR_DISK_FULL) ? error : 0;
}

int systemTryLockOpenFile(osFile file)
{
    // Only pipes are written in place; a pipe's other end is one writer's alone already.
    (void)file;
    return 0;
}

static bool identityOf(HANDLE handle, osFileIdentity* identity)
{
    BY_HANDLE_FILE_INFORMATION information;
    if (!GetFileInformationByHandle(handle, &information))
        return false;
    identity->device = information.dwVolumeSerialNumber;
    identity->node = (std::uint64_t(information.nFileIndexHigh) << 32) | information.nFileIndexLow;
    return true;
}

bool systemIdentifyOpenFile(osFile file, osFileIdentity* identity, bool* stream)
{
    // Each open of a pipe is a pipe of its own: only files on disk can be the same twice.
    *stream = GetFileType(handleOf(file)) != FILE_TYPE_DISK;
    return !*stream && identityOf(handleOf(file), identity);
}

bool systemIdentifyHandle(void* handle, osFileIdentity* identity)
{
    return identityOf(static_cast<HANDLE>(handle), identity);
}

void osAdviseSequential(osFile file)
{
    // Given at open time on Windows (FILE_FLAG_SEQUENTIAL_SCAN).
    (void)file;
}

const int osLockHeld = int(ERROR_SHARING_VIOLATION);
// What creating a file over a directory meets.
const int osIsADirectory = int(ERROR_ACCESS_DENIED);
const char* const osLineEnd = "\r\n";

bool osNotFound(int error)
{
    return error == int(ERROR_FILE_NOT_FOUND) || error == int(ERROR_PATH_NOT_FOUND);
}

bool osTooManyOpenFiles(int error)
{
    return error == int(ERROR_TOO_MANY_OPEN_FILES);
}

bool osNoSpace(int error)
{
    return error == int(ERROR_DISK_FULL) || error == int(ERROR_HANDLE_DISK_FULL);
}

const char* osErrorText(int error)
{
    static char text[512];
    const DWORD flags = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
    // English like every other message of the tool where the system has it, else the
    // system's own language.
    DWORD n = FormatMessageA(flags, nullptr, DWORD(error), MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), text,
                             DWORD(sizeof text), nullptr);
    if (n == 0)
        n = FormatMessageA(flags, nullptr, DWORD(error), 0, text, DWORD(sizeof text), nullptr);
    while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r' || text[n - 1] == ' '))
        n--;
    if (n == 0)
        std::snprintf(text, sizeof text, "system error %d", error);
    else
        text[n] = '\0';
    return text;
}

// A link on Windows is made by an administrator or a user allowed to, and its owner is in an
// access-control list this program does not read: it is followed as any other name.
bool osLinkOfAnotherUser(const char*, std::string*)
{
    return false;
}
