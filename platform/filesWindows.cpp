// Files on Windows.
#include <cstdio>
#include <cstring>

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

// ---- UTF-8 and UTF-16 ----

bool utf8ToWide(const char* text, std::size_t bytes, std::wstring* wide)
{
    wide->clear();
    const unsigned char* at = reinterpret_cast<const unsigned char*>(text);
    const unsigned char* end = at + bytes;
    while (at < end) {
        const unsigned c = *at;
        unsigned code, more, least;
        if (c < 0x80) {
            code = c, more = 0, least = 0;
        } else if (c >= 0xC2 && c < 0xE0) {
            code = c & 0x1F, more = 1, least = 0x80;
        } else if (c >= 0xE0 && c < 0xF0) {
            code = c & 0x0F, more = 2, least = 0x800;
        } else if (c >= 0xF0 && c < 0xF5) {
            code = c & 0x07, more = 3, least = 0x10000;
        } else {
            return false;
        }
        if (std::size_t(end - at) <= more)
            return c < 0x80;
        for (unsigned k = 1; k <= more; k++) {
            if ((at[k] & 0xC0) != 0x80)
                return false;
            code = (code << 6) | (at[k] & 0x3F);
        }
        if (code < least || code > 0x10FFFF)
            return false;
        at += more + 1;
        if (code < 0x10000) {
            wide->push_back(wchar_t(code));   // a lone surrogate too
        } else {
            wide->push_back(wchar_t(0xD800 + ((code - 0x10000) >> 10)));
            wide->push_back(wchar_t(0xDC00 + ((code - 0x10000) & 0x3FF)));
        }
    }
    return true;
}

std::string wideToUtf8(const wchar_t* text, std::size_t length)
{
    std::string utf8;
    for (std::size_t k = 0; k < length; k++) {
        unsigned code = unsigned(text[k]) & 0xFFFF;
        if (code >= 0xD800 && code < 0xDC00 && k + 1 < length && (unsigned(text[k + 1]) & 0xFC00) == 0xDC00)
            code = 0x10000 + ((code - 0xD800) << 10) + (unsigned(text[++k]) - 0xDC00);
        if (code < 0x80) {
            utf8 += char(code);
        } else if (code < 0x800) {
            utf8 += char(0xC0 | (code >> 6));
            utf8 += char(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            utf8 += char(0xE0 | (code >> 12));
            utf8 += char(0x80 | ((code >> 6) & 0x3F));
            utf8 += char(0x80 | (code & 0x3F));
        } else {
            utf8 += char(0xF0 | (code >> 18));
            utf8 += char(0x80 | ((code >> 12) & 0x3F));
            utf8 += char(0x80 | ((code >> 6) & 0x3F));
            utf8 += char(0x80 | (code & 0x3F));
        }
    }
    return utf8;
}

int wideName(const char* name, std::wstring* wide)
{
    if (!utf8ToWide(name, std::strlen(name), wide))
        return int(ERROR_NO_UNICODE_TRANSLATION);
    const std::size_t n = wide->size();
    if (wide->compare(0, 4, L"\\\\?\\") == 0 && n > 6 && wide->compare(n - 2, 2, L"\\.") == 0)
        wide->resize(n - 1);
    return 0;
}

// ---- Files ----

// Without FILE_FLAG_BACKUP_SEMANTICS CreateFileW refuses directories (access denied), which
// is the refusal the movie files need.
static int openFile(const char* name, DWORD access, DWORD share, DWORD creation, DWORD flags, osFile* file)
{
    std::wstring wide;
    if (const int error = wideName(name, &wide))
        return error;
    HANDLE handle = CreateFileW(wide.c_str(), access, share, nullptr, creation, flags, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return lastError();
    *file = reinterpret_cast<osFile>(handle);
    return 0;
}

static const DWORD shareReadWrite = FILE_SHARE_READ | FILE_SHARE_WRITE;

int systemOpenForReading(const char* name, osFile* file)
{
    // Every input is read once from start to end, so the hint goes with the open.
    return openFile(name, GENERIC_READ, shareReadWrite, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN,
                    file);
}

int systemOpenOwnFile(const char* name, osFile* file)
{
    // A reparse point (a link) is opened as itself and refused; a pipe or device is no file.
    // Shared for reading only: a file a live run still writes is refused as held.
    if (const int error = openFile(name, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING,
                                   FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, file))
        return error;
    BY_HANDLE_FILE_INFORMATION information;
    if (GetFileType(handleOf(*file)) != FILE_TYPE_DISK || !GetFileInformationByHandle(handleOf(*file), &information) ||
        (information.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0 ||
        information.nNumberOfLinks != 1) {
        CloseHandle(handleOf(*file));
        return osNotOwnFile;
    }
    return 0;
}

int systemCreateNew(const char* name, osFile* file)
{
    // Shared for deletion: the console handler of a second Ctrl-C removes the temporary
    // files while the run still holds them, and a commit file goes while its run holds it.
    // No other run removes them meanwhile: it removes only files nobody holds (see
    // systemRemoveUnheldFile).
    return openFile(name, GENERIC_WRITE, shareReadWrite | FILE_SHARE_DELETE, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, file);
}

int systemOpenForWriting(const char* name, osFile* file)
{
    return openFile(name, GENERIC_WRITE, shareReadWrite, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, file);
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
    std::wstring wide;
    if (const int error = wideName(name, &wide))
        return error;
    if (DeleteFileW(wide.c_str()))
        return 0;
    // A read-only file goes as on POSIX, where only the folder decides: the files removed
    // are the run's own and earlier ones it moved aside.
    int error = lastError();
    const DWORD attributes = GetFileAttributesW(wide.c_str());
    if (error == int(ERROR_ACCESS_DENIED) && attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)) == FILE_ATTRIBUTE_READONLY &&
        SetFileAttributesW(wide.c_str(), attributes & ~DWORD(FILE_ATTRIBUTE_READONLY))) {
        if (DeleteFileW(wide.c_str()))
            return 0;
        error = lastError();
        SetFileAttributesW(wide.c_str(), attributes);
    }
    return error;
}

int systemRename(const char* from, const char* to)
{
    std::wstring wideFrom, wideTo;
    int error = wideName(from, &wideFrom);
    if (error == 0)
        error = wideName(to, &wideTo);
    if (error != 0)
        return error;
    if (MoveFileExW(wideFrom.c_str(), wideTo.c_str(), MOVEFILE_REPLACE_EXISTING))
        return 0;
    // Refused because another program holds one of the two: say so, not "access denied".
    error = lastError();
    if (error == int(ERROR_ACCESS_DENIED) &&
        (systemMayReplace(to) == int(ERROR_SHARING_VIOLATION) || systemMayReplace(from) == int(ERROR_SHARING_VIOLATION)))
        error = int(ERROR_SHARING_VIOLATION);
    return error;
}

int systemLink(const char* existing, const char* link)
{
    std::wstring wideExisting, wideLink;
    int error = wideName(existing, &wideExisting);
    if (error == 0)
        error = wideName(link, &wideLink);
    if (error != 0)
        return error;
    return CreateHardLinkW(wideLink.c_str(), wideExisting.c_str(), nullptr) ? 0 : lastError();
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

// A console gives what is typed as UTF-16 (its bytes would be in the console's code page):
// read so and handed on as UTF-8, what does not fit the caller's buffer kept for the next read.
static int readConsole(HANDLE console, void* buffer, std::size_t bytes, std::size_t* got)
{
    static char pending[4 * 256];
    static std::size_t pendingFrom = 0, pendingTo = 0;
    static wchar_t highSurrogate = 0;   // the first half of a pair whose second half is to come
    while (pendingFrom == pendingTo) {
        wchar_t typed[257];
        std::size_t count = 0;
        if (highSurrogate != 0)
            typed[count++] = highSurrogate;
        DWORD n = 0;
        if (!ReadConsoleW(console, typed + count, 256, &n, nullptr))
            return lastError();
        if (n == 0)
            return 0;   // the end of what is typed
        count += n;
        highSurrogate = 0;
        if ((typed[count - 1] & 0xFC00) == 0xD800)
            highSurrogate = typed[--count];
        const std::string text = wideToUtf8(typed, count);
        std::memcpy(pending, text.data(), text.size());
        pendingFrom = 0;
        pendingTo = text.size();
    }
    const std::size_t n = bytes < pendingTo - pendingFrom ? bytes : pendingTo - pendingFrom;
    std::memcpy(buffer, pending + pendingFrom, n);
    pendingFrom += n;
    *got = n;
    return 0;
}

int systemRead(osFile file, void* buffer, std::size_t bytes, std::int64_t offset, std::size_t* got)
{
    DWORD n = 0;
    OVERLAPPED place;
    *got = 0;
    DWORD mode;
    if (offset == osAtPosition && GetFileType(handleOf(file)) == FILE_TYPE_CHAR && GetConsoleMode(handleOf(file), &mode))
        return readConsole(handleOf(file), buffer, bytes, got);
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
const int osNotOwnFile = int(ERROR_INVALID_OWNER);
const int osNoSuchFile = int(ERROR_FILE_NOT_FOUND);
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
    static char text[1024];
    // The system's words for it ("Sharing violation." under Wine) do not say who holds it.
    if (error == int(ERROR_SHARING_VIOLATION))
        return "The file is in use by another program.";
    wchar_t wide[512];
    const DWORD flags = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
    // English like every other message of the tool where the system has it, else the
    // system's own language, in UTF-8 like every message.
    DWORD n = FormatMessageW(flags, nullptr, DWORD(error), MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), wide,
                             DWORD(sizeof wide / sizeof wide[0]), nullptr);
    if (n == 0)
        n = FormatMessageW(flags, nullptr, DWORD(error), 0, wide, DWORD(sizeof wide / sizeof wide[0]), nullptr);
    while (n > 0 && (wide[n - 1] == L'\n' || wide[n - 1] == L'\r' || wide[n - 1] == L' '))
        n--;
    const std::string words = wideToUtf8(wide, n);
    if (n == 0 || words.size() >= sizeof text)
        std::snprintf(text, sizeof text, "system error %d", error);
    else
        std::snprintf(text, sizeof text, "%s", words.c_str());
    return text;
}

// A link on Windows is made by an administrator or a user allowed to, and its owner is in an
// access-control list this program does not read: it is followed as any other name.
