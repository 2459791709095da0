// Directories and names on Windows.
#include <cstring>

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

static bool isFullyQualified(const char* name)
{
    return (hasDrive(name) && isSeparator(name[2])) || (isSeparator(name[0]) && isSeparator(name[1]));
}

// The system's full path of `name`: 0 or its error.
static int fullPathOf(const char* name, std::wstring* full)
{
    std::wstring wide;
    if (const int error = wideName(name, &wide))
        return error;
    DWORD n = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
    for (int attempt = 0; n > 0 && attempt < 4; attempt++) {
        full->assign(n, L'\0');
        const DWORD made = GetFullPathNameW(wide.c_str(), n, &(*full)[0], nullptr);
        if (made > 0 && made < n) {
            full->resize(made);
            return 0;
        }
        n = made;   // the current directory changed meanwhile
    }
    return lastError();
}

std::string osPathFrom(const std::string& directory, const char* name)
{
    if (!osIsAbsolutePath(name))
        return directory + osPathSeparator + name;
    std::wstring full;
    // Rooted on the current drive or relative to a drive's own current directory: the
    // descriptor gives the path the system makes of it.
    if (isFullyQualified(name) || fullPathOf(name, &full) != 0)
        return name;
    return wideToUtf8(full.data(), full.size());
}

std::string osStoredName(const char* name)
{
    // A name taken as it stands keeps them.
    if (std::strncmp(name, "\\\\?\\", 4) == 0)
        return name;
    const std::size_t start = osDirectoryPartLength(name);
    std::size_t end = std::strlen(name);
    while (end > start && (name[end - 1] == '.' || name[end - 1] == ' '))
        end--;
    // Nothing but dots and blanks: a folder ("..") or nothing, refused as what it is.
    return end > start ? std::string(name, end) : std::string(name);
}

bool osNameIsText(const char* name)
{
    std::wstring wide;
    return utf8ToWide(name, std::strlen(name), &wide);
}

bool osDeviceName(const char* name, std::string* device)
{
    // \\.\ and \\?\ names are taken as they stand: a device there is asked for by its path.
    std::wstring full;
    if ((isSeparator(name[0]) && isSeparator(name[1])) || fullPathOf(name, &full) != 0 ||
        full.compare(0, 4, L"\\\\.\\") != 0)
        return false;
    *device = wideToUtf8(full.data() + 4, full.size() - 4);
    return true;
}

int systemCurrentDirectory(std::string* buffer, std::size_t* needed)
{
    std::wstring wide(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = GetCurrentDirectoryW(DWORD(wide.size()), &wide[0]);
        if (n == 0)
            return lastError();
        if (n < wide.size()) {
            *buffer = wideToUtf8(wide.data(), n);
            *needed = 0;
            return 0;
        }
        wide.assign(n, L'\0');
    }
}

// Opened without access and shared every way, so that devices (NUL, CON), pipes, directories
// and files other processes hold answer as well.
static HANDLE openToLookAt(const char* name)
{
    std::wstring wide;
    if (const int error = wideName(name, &wide)) {
        SetLastError(DWORD(error));
        return INVALID_HANDLE_VALUE;
    }
    return CreateFileW(wide.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
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
    std::wstring wide;
    if (const int error = wideName(name, &wide))
        return error;
    DWORD attributes = GetFileAttributesW(wide.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        // Asked of a directory ("folder\."): a missing one is a path not found.
        int error = lastError();
        return error == int(ERROR_FILE_NOT_FOUND) ? int(ERROR_PATH_NOT_FOUND) : error;
    }
    if ((attributes & FILE_ATTRIBUTE_READONLY) != 0 && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
        return int(ERROR_ACCESS_DENIED);
    return 0;
}

int systemMayReplace(const char* name)
{
    // No folder keeps its files to their owners as a sticky one does; but a file another
    // program holds open without sharing its deletion cannot be replaced while it does.
    std::wstring wide;
    if (wideName(name, &wide) != 0)
        return 0;
    HANDLE handle = CreateFileW(wide.c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
        CloseHandle(handle);
        return 0;
    }
    return GetLastError() == ERROR_SHARING_VIOLATION ? int(ERROR_SHARING_VIOLATION) : 0;
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
    std::wstring pattern;
    if (const int error = wideName((directory + "*").c_str(), &pattern))
        return error;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(pattern.c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return lastError();
    do {
        const std::string name = wideToUtf8(found.cFileName, wcslen(found.cFileName));
        if (name != "." && name != "..")
            visit(context, name.c_str());
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return 0;
}

// Owners and modes are left to the folder's access control: every file found is taken as
// the user's own, a reparse point (a link) as something else.
int systemLookAtFile(const char* name, osFoundFile* found)
{
    std::wstring wide;
    if (const int error = wideName(name, &wide))
        return error;
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(wide.c_str(), GetFileExInfoStandard, &data))
        return lastError();
    found->link = (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    found->kind = found->link                                            ? osOtherFile
                  : (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? osDirectory
                                                                            : osRegularFile;
    found->own = true;
    found->names = 1;
    return 0;
}

int systemRemoveUnheldFile(const char* path)
{
    // Opened for this process alone: refused while anyone holds the file (a live run holds
    // its temporary and commit files open), and then removed through this handle, a
    // read-only file as well.
    std::wstring wide;
    if (const int error = wideName(path, &wide))
        return error;
    HANDLE handle = CreateFileW(wide.c_str(), DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, 0, nullptr,
                                OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const int error = lastError();
        // Being removed by another, a file refuses access for a moment.
        return error == int(ERROR_SHARING_VIOLATION) || error == int(ERROR_ACCESS_DENIED) ? osLockHeld : error;
    }
    FILE_BASIC_INFO basic;
    int error = 0;
    if (!GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof basic)) {
        error = lastError();
    } else if ((basic.FileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0 ||
               GetFileType(handle) != FILE_TYPE_DISK) {
        error = osNotOwnFile;
    } else if ((basic.FileAttributes & FILE_ATTRIBUTE_READONLY) != 0) {
        basic.FileAttributes &= ~DWORD(FILE_ATTRIBUTE_READONLY);
        if (basic.FileAttributes == 0)
            basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
        if (!SetFileInformationByHandle(handle, FileBasicInfo, &basic, sizeof basic))
            error = lastError();
    }
    FILE_DISPOSITION_INFO disposition;
    disposition.DeleteFile = TRUE;
    if (error == 0 && !SetFileInformationByHandle(handle, FileDispositionInfo, &disposition, sizeof disposition))
        error = lastError();
    CloseHandle(handle);
    return error;
}

int systemTryLock(const char* path, osFile* lock)
{
    // A file nobody else may open and that goes with its last handle: a run that dies
    // leaves no lock behind.
    std::wstring wide;
    if (const int error = wideName(path, &wide))
        return error;
    HANDLE handle = CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_DELETE_ON_CLOSE | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
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
    std::wstring wide;
    if (wideName(directory.empty() ? "." : directory.c_str(), &wide) != 0 ||
        !GetDiskFreeSpaceExW(wide.c_str(), &available, nullptr, nullptr))
        return osRoom{-1, 0, false};
    return osRoom{std::int64_t(available.QuadPart), 4096, false};
}

std::int64_t osFileSizeLimit()
{
    return -1;
}
