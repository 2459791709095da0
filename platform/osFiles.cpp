#include "platform/osFiles.h"

#include <cerrno>
#include <climits>
#include <cstring>

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#ifndef O_CLOEXEC
#define O_CLOEXEC 0
#endif

// Large enough for any frame: a frame is at most a few hundred megabytes, well below SSIZE_MAX,
// but a single request is kept below 1 GiB so that every system takes it whole.
static const std::size_t largestRequest = std::size_t(1) << 30;

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

int osClose(osFile file)
{
    // A close interrupted by a signal must not be retried on Linux: the descriptor is gone.
    if (close(int(file)) != 0 && errno != EINTR)
        return errno;
    return 0;
}

int osReadFull(osFile file, void* buffer, std::size_t bytes, std::size_t* got)
{
    unsigned char* at = static_cast<unsigned char*>(buffer);
    std::size_t done = 0;
    while (done < bytes) {
        std::size_t ask = bytes - done < largestRequest ? bytes - done : largestRequest;
        ssize_t n = read(int(file), at + done, ask);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            *got = done;
            return errno;
        }
        if (n == 0)
            break;
        done += std::size_t(n);
    }
    *got = done;
    return 0;
}

const bool osHasScatterRead = true;

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

int osWriteFull(osFile file, const void* buffer, std::size_t bytes)
{
    const unsigned char* at = static_cast<const unsigned char*>(buffer);
    std::size_t done = 0;
    while (done < bytes) {
        std::size_t ask = bytes - done < largestRequest ? bytes - done : largestRequest;
        ssize_t n = write(int(file), at + done, ask);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        if (n == 0)
            return ENOSPC;
        done += std::size_t(n);
    }
    return 0;
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

bool osSameFile(const osFileIdentity& a, const osFileIdentity& b)
{
    return a.device == b.device && a.node == b.node;
}

int osCurrentDirectory(std::string* directory)
{
    std::string buffer(256, '\0');
    for (;;) {
        if (getcwd(&buffer[0], buffer.size()) != nullptr) {
            buffer.resize(std::strlen(buffer.c_str()));
            *directory = buffer;
            return 0;
        }
        if (errno != ERANGE)
            return errno;
        buffer.resize(buffer.size() * 2);
    }
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
