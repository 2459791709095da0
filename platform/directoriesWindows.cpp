// Directories and names on Windows.
#include "platform/systemCalls.h"
#include "platform/windowsHeaders.h"

const char osPathSeparator = '\\';

static bool isSeparator(char c)
{
    return c == '\\' || c == '/';
}

static bool hasDrive(const char* name)
{
    const char c = name[0];
    return ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')) && name[1] == ':';
}

bool osIsAbsolutePath(const char* name)
{
    // "C:\movies" and "C:/movies" start from a drive's root; "C:movies" from drive C's own
    // current directory: after another directory it would name no file, so it stands alone
    // too. One leading separator is the root of the current drive, two a UNC share
    // (\\server\share) or a device path (\\?\, \\.\).
    return hasDrive(name) || isSeparator(name[0]);
}

std::size_t osDirectoryPartLength(const char* name)
{
    std::size_t length = hasDrive(name) ? 2 : 0;
    for (std::size_t k = 0; name[k] != '\0'; k++)
        if (isSeparator(name[k]))
            length = k + 1;
    return length;
}

int systemCurrentDirectory(std::string* buffer, std::size_t* needed)
{
    DWORD n = GetCurrentDirectoryA(DWORD(buffer->size()), &(*buffer)[0]);
    if (n == 0)
        return lastError();
    *needed = n < buffer->size() ? 0 : std::size_t(n);
    if (*needed == 0)
        buffer->resize(n);
    return 0;
}

// Opened without access and shared every way, so that devices (NUL, CON), pipes, directories
// and files other processes hold answer as well.
static HANDLE openToLookAt(const char* name)
{
    return CreateFileA(name, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

int systemKindOfFile(const char* name, osFileKind* kind)
{
    HANDLE handle = openToLookAt(name);
    if (handle == INVALID_HANDLE_VALUE) {
        int error = lastError();
        if (!osNotFound(error))
            return error;
        *kind = osNothing;
        return 0;
    }
    DWORD type = GetFileType(handle);
    BY_HANDLE_FILE_INFORMATION information;
    bool known = type == FILE_TYPE_DISK && GetFileInformationByHandle(handle, &information);
    CloseHandle(handle);
    if (type == FILE_TYPE_CHAR || type == FILE_TYPE_PIPE)
        *kind = osStream;
    else if (!known)
        *kind = osOtherFile;
    else
        *kind = (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? osDirectory : osRegularFile;
    return 0;
}

int systemMayWrite(const char* name)
{
    // Windows decides on creating or replacing a file only when it is done; a read-only
    // file is the one refusal known beforehand.
    DWORD attributes = GetFileAttributesA(name);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        // Asked of a directory ("folder\."): a missing one is a path not found.
        int error = lastError();
        return error == int(ERROR_FILE_NOT_FOUND) ? int(ERROR_PATH_NOT_FOUND) : error;
    }
    if ((attributes & FILE_ATTRIBUTE_READONLY) != 0 && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
        return int(ERROR_ACCESS_DENIED);
    return 0;
}

int systemMayReplace(const char*)
{
    // No folder keeps its files to their owners as a sticky one does.
    return 0;
}

int systemFollowLinks(const char* name, std::string* target)
{
    *target = name;
    return 0;
}

bool systemIdentifyFile(const char* name, osFileIdentity* identity)
{
    HANDLE handle = openToLookAt(name);
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    bool known = systemIdentifyHandle(handle, identity);
    CloseHandle(handle);
    return known;
}

bool systemIdentifyStream(const char*, osFileIdentity*)
{
    return false;
}

int systemListDirectory(const std::string& directory, void (*visit)(void* context, const char* name), void* context)
{
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((directory + "*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return lastError();
    do {
        const std::string name = found.cFileName;
        if (name != "." && name != "..")
            visit(context, found.cFileName);
    } while (FindNextFileA(search, &found));
    FindClose(search);
    return 0;
}

int systemRemoveUnheldFile(const char* path)
{
    // A file a live run has open is not shared for deletion, so its removal fails.
    if (DeleteFileA(path))
        return 0;
    const int error = lastError();
    return error == int(ERROR_SHARING_VIOLATION) || error == int(ERROR_ACCESS_DENIED) ? osLockHeld : error;
}

int systemTryLock(const char* path, osFile* lock)
{
    // A file nobody else may open and that goes with its last handle: a run that dies
    // leaves no lock behind.
    HANDLE handle = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
        *lock = reinterpret_cast<osFile>(handle);
        return 0;
    }
    const DWORD error = GetLastError();
    // Being deleted by its last holder, it refuses access for a moment.
    return error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED ? osLockHeld : lastError();
}

void osUnlock(const char*, osFile lock)
{
    if (lock != osNoFile)
        CloseHandle(handleOf(lock));
}

// What this user may use, within a quota; the cluster a small file takes is NTFS's usual one.
osRoom systemFreeSpace(const std::string& directory)
{
    ULARGE_INTEGER available;
    if (!GetDiskFreeSpaceExA(directory.empty() ? "." : directory.c_str(), &available, nullptr, nullptr))
        return osRoom{-1, 0, false};
    return osRoom{std::int64_t(available.QuadPart), 4096, false};
}

std::int64_t osFileSizeLimit()
{
    return -1;
}
