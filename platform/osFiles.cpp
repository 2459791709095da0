#include "platform/osFiles.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

// Large enough for any frame: a frame is at most a few hundred megabytes, well below SSIZE_MAX
// and a DWORD, but a single request is kept below 1 GiB so that every system takes it whole.
static const std::size_t largestRequest = std::size_t(1) << 30;

#if defined(_WIN32)

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <stdlib.h>

static HANDLE handleOf(osFile file)
{
    return reinterpret_cast<HANDLE>(file);
}

// GetLastError after a failed call; never 0, since 0 means success to the callers.
static int lastError()
{
    DWORD error = GetLastError();
    return error != 0 ? int(error) : int(ERROR_GEN_FAILURE);
}

// Without FILE_FLAG_BACKUP_SEMANTICS CreateFileA refuses directories (access denied), which
// is the refusal the movie files need.
static int openMovie(const char* name, DWORD access, DWORD creation, DWORD flags, osFile* file)
{
    HANDLE handle = CreateFileA(name, access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, creation, flags, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return lastError();
    *file = reinterpret_cast<osFile>(handle);
    return 0;
}

int osOpenForReading(const char* name, osFile* file)
{
    // Every input is read once from start to end, so the hint goes with the open.
    return openMovie(name, GENERIC_READ, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, file);
}

int osCreateForWriting(const char* name, osFile* file)
{
    return openMovie(name, GENERIC_WRITE, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, file);
}

int osClose(osFile file)
{
    return CloseHandle(handleOf(file)) ? 0 : lastError();
}

int osRemoveFile(const char* name)
{
    return DeleteFileA(name) ? 0 : lastError();
}

// One read request; *got 0 means the end of the file. A pipe whose writer has gone reports
// its end as a broken pipe.
static int readSome(osFile file, void* buffer, std::size_t bytes, std::size_t* got)
{
    DWORD n = 0;
    if (!ReadFile(handleOf(file), buffer, DWORD(bytes), &n, nullptr)) {
        *got = 0;
        return GetLastError() == ERROR_BROKEN_PIPE ? 0 : lastError();
    }
    *got = n;
    return 0;
}

static int writeSome(osFile file, const void* buffer, std::size_t bytes, std::size_t* put)
{
    DWORD n = 0;
    if (!WriteFile(handleOf(file), buffer, DWORD(bytes), &n, nullptr))
        return lastError();
    *put = n;
    return 0;
}

static const int diskFullError = int(ERROR_DISK_FULL);

void osRaiseOpenFileLimit()
{
    // Handles have no such small limit on Windows.
}

bool osTooManyOpenFiles(int error)
{
    return error == int(ERROR_TOO_MANY_OPEN_FILES);
}

bool osRegularFileSize(osFile file, std::int64_t* size)
{
    LARGE_INTEGER length;
    if (GetFileType(handleOf(file)) != FILE_TYPE_DISK || !GetFileSizeEx(handleOf(file), &length))
        return false;
    *size = std::int64_t(length.QuadPart);
    return true;
}

void osAdviseSequential(osFile file)
{
    // Given at open time on Windows (FILE_FLAG_SEQUENTIAL_SCAN).
    (void)file;
}

bool osIdentifyFile(const char* name, osFileIdentity* identity)
{
    // No access asked and every sharing allowed, so that a file another process holds open
    // is still identified; backup semantics let directories open as well.
    HANDLE handle = CreateFileA(name, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    BY_HANDLE_FILE_INFORMATION information;
    bool known = GetFileInformationByHandle(handle, &information) != 0;
    CloseHandle(handle);
    if (!known)
        return false;
    identity->device = information.dwVolumeSerialNumber;
    identity->node = (std::uint64_t(information.nFileIndexHigh) << 32) | information.nFileIndexLow;
    return true;
}

// Fills `buffer` with the directory and returns 0, or says in *needed how large it must be.
static int currentDirectoryInto(std::string* buffer, std::size_t* needed)
{
    DWORD n = GetCurrentDirectoryA(DWORD(buffer->size()), &(*buffer)[0]);
    if (n == 0)
        return lastError();
    *needed = n < buffer->size() ? 0 : std::size_t(n);
    if (*needed == 0)
        buffer->resize(n);
    return 0;
}

const char osPathSeparator = '\\';

static bool isSeparator(char c)
{
    return c == '\\' || c == '/';
}

bool osIsAbsolutePath(const char* name)
{
    // "C:\movies" and "C:/movies" start from a drive's root; "C:movies" from drive C's own
    // current directory: after another directory it would name no file, so it stands alone
    // too. One leading separator is the root of the current drive, two a UNC share
    // (\\server\share) or a device path (\\?\, \\.\).
    const char c = name[0];
    if (((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')) && name[1] == ':')
        return true;
    return isSeparator(c);
}

int osWriteTextFile(const char* name, const char* text)
{
    HANDLE handle = CreateFileA(name, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return lastError();
    int fd = _open_osfhandle(reinterpret_cast<std::intptr_t>(handle), _O_WRONLY | _O_TEXT);
    if (fd < 0) {
        CloseHandle(handle);
        return int(ERROR_TOO_MANY_OPEN_FILES);
    }
    std::FILE* file = _fdopen(fd, "wt");
    if (file == nullptr) {
        _close(fd);
        return int(ERROR_NOT_ENOUGH_MEMORY);
    }
    // The runtime keeps the system's code of a failed write in _doserrno; a short write it
    // only reports as ENOSPC.
    _doserrno = 0;
    errno = 0;
    bool written = std::fputs(text, file) >= 0;
    bool closed = std::fclose(file) == 0;
    if (written && closed)
        return 0;
    if (_doserrno != 0)
        return int(_doserrno);
    return errno == ENOSPC ? int(ERROR_DISK_FULL) : int(ERROR_WRITE_FAULT);
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

#else

#include <fcntl.h>
#include <limits.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#ifndef O_CLOEXEC
#define O_CLOEXEC 0
#endif

int osOpenForReading(const char* name, osFile* file)
{
    int fd;
    do {
        fd = open(name, O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return errno;
    // When fstat fails, st holds nothing to look at: its own error is the answer.
    struct stat st;
    int error = fstat(fd, &st) != 0 ? errno : S_ISDIR(st.st_mode) ? EISDIR : 0;
    if (error != 0) {
        close(fd);
        return error;
    }
    *file = fd;
    return 0;
}

int osCreateForWriting(const char* name, osFile* file)
{
    int fd;
    do {
        fd = open(name, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return errno;
    *file = fd;
    return 0;
}

int osRemoveFile(const char* name)
{
    return unlink(name) == 0 ? 0 : errno;
}

int osClose(osFile file)
{
    // A close interrupted by a signal must not be retried on Linux: the descriptor is gone.
    if (close(int(file)) != 0 && errno != EINTR)
        return errno;
    return 0;
}

static int readSome(osFile file, void* buffer, std::size_t bytes, std::size_t* got)
{
    for (;;) {
        ssize_t n = read(int(file), buffer, bytes);
        if (n >= 0) {
            *got = std::size_t(n);
            return 0;
        }
        if (errno != EINTR) {
            *got = 0;
            return errno;
        }
    }
}

static int writeSome(osFile file, const void* buffer, std::size_t bytes, std::size_t* put)
{
    for (;;) {
        ssize_t n = write(int(file), buffer, bytes);
        if (n >= 0) {
            *put = std::size_t(n);
            return 0;
        }
        if (errno != EINTR)
            return errno;
    }
}

static const int diskFullError = ENOSPC;

int osReadRows(osFile file, unsigned char* first, std::size_t rowBytes, std::size_t rowStride,
               std::size_t rowCount, std::size_t* got)
{
    enum { rowsPerRequest = IOV_MAX < 1024 ? IOV_MAX : 1024 };
    static struct iovec rows[rowsPerRequest];
    std::size_t done = 0;
    std::size_t row = 0;        // first row not yet complete
    std::size_t rowDone = 0;    // bytes of that row already in
    while (row < rowCount) {
        std::size_t n = rowCount - row < std::size_t(rowsPerRequest) ? rowCount - row
                                                                     : std::size_t(rowsPerRequest);
        for (std::size_t r = 0; r < n; r++) {
            rows[r].iov_base = first + (row + r) * rowStride;
            rows[r].iov_len = rowBytes;
        }
        rows[0].iov_base = first + row * rowStride + rowDone;
        rows[0].iov_len = rowBytes - rowDone;
        ssize_t in = readv(int(file), rows, int(n));
        if (in < 0) {
            if (errno == EINTR)
                continue;
            *got = done;
            return errno;
        }
        if (in == 0)
            break;
        done += std::size_t(in);
        std::size_t left = std::size_t(in) + rowDone;
        row += left / rowBytes;
        rowDone = left % rowBytes;
    }
    *got = done;
    return 0;
}

void osRaiseOpenFileLimit()
{
    // A grid of 100 x 100 panels keeps 10,000 files open; the usual soft limit is 1024.
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        (void)setrlimit(RLIMIT_NOFILE, &limit);
    }
}

bool osTooManyOpenFiles(int error)
{
    return error == EMFILE || error == ENFILE;
}

bool osRegularFileSize(osFile file, std::int64_t* size)
{
    struct stat st;
    if (fstat(int(file), &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    *size = std::int64_t(st.st_size);
    return true;
}

void osAdviseSequential(osFile file)
{
#if defined(POSIX_FADV_SEQUENTIAL)
    // Only a hint: a system that ignores it loses nothing.
    (void)posix_fadvise(int(file), 0, 0, POSIX_FADV_SEQUENTIAL);
#else
    (void)file;
#endif
}

bool osIdentifyFile(const char* name, osFileIdentity* identity)
{
    struct stat st;
    if (stat(name, &st) != 0)
        return false;
    identity->device = std::uint64_t(st.st_dev);
    identity->node = std::uint64_t(st.st_ino);
    return true;
}

static int currentDirectoryInto(std::string* buffer, std::size_t* needed)
{
    if (getcwd(&(*buffer)[0], buffer->size()) != nullptr) {
        buffer->resize(std::strlen(buffer->c_str()));
        *needed = 0;
        return 0;
    }
    if (errno != ERANGE)
        return errno;
    *needed = buffer->size() * 2;
    return 0;
}

const char osPathSeparator = '/';

bool osIsAbsolutePath(const char* name)
{
    return name[0] == '/';
}

const char* osErrorText(int error)
{
    return std::strerror(error);
}

int osWriteTextFile(const char* name, const char* text)
{
    std::FILE* file = std::fopen(name, "w");
    if (file == nullptr)
        return errno != 0 ? errno : EIO;
    errno = 0;
    bool written = std::fputs(text, file) >= 0;
    int writeError = errno;
    bool closed = std::fclose(file) == 0;
    if (written && closed)
        return 0;
    if (!written && writeError != 0)
        return writeError;
    return errno != 0 ? errno : EIO;
}

#endif

int osReadFull(osFile file, void* buffer, std::size_t bytes, std::size_t* got)
{
    unsigned char* at = static_cast<unsigned char*>(buffer);
    std::size_t done = 0;
    while (done < bytes) {
        std::size_t n = 0;
        int error = readSome(file, at + done, bytes - done < largestRequest ? bytes - done : largestRequest, &n);
        if (error != 0) {
            *got = done;
            return error;
        }
        if (n == 0)
            break;
        done += n;
    }
    *got = done;
    return 0;
}

int osWriteFull(osFile file, const void* buffer, std::size_t bytes)
{
    const unsigned char* at = static_cast<const unsigned char*>(buffer);
    std::size_t done = 0;
    while (done < bytes) {
        std::size_t n = 0;
        int error = writeSome(file, at + done, bytes - done < largestRequest ? bytes - done : largestRequest, &n);
        if (error != 0)
            return error;
        if (n == 0)
            return diskFullError;
        done += n;
    }
    return 0;
}

int osCurrentDirectory(std::string* directory)
{
    std::string buffer(256, '\0');
    for (;;) {
        // The directory may change between two calls, hence the loop.
        std::size_t needed = 0;
        int error = currentDirectoryInto(&buffer, &needed);
        if (error != 0)
            return error;
        if (needed == 0) {
            *directory = buffer;
            return 0;
        }
        buffer.resize(needed);
    }
}

bool osSameFile(const osFileIdentity& a, const osFileIdentity& b)
{
    return a.device == b.device && a.node == b.node;
}
