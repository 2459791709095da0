// Files on POSIX systems.
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include "platform/systemCalls.h"

#ifndef O_CLOEXEC
#define O_CLOEXEC 0
#endif

const int systemInterruptedError = EINTR;
const int systemNoSpaceError = ENOSPC;

bool systemInterrupted(int error)
{
    return error == EINTR;
}

static int openFile(const char* name, int flags, osFile* file)
{
    int fd = open(name, flags | O_CLOEXEC, 0666);
    if (fd < 0)
        return errno;
    *file = fd;
    return 0;
}

int systemOpenForReading(const char* name, osFile* file)
{
    int error = openFile(name, O_RDONLY, file);
    if (error != 0)
        return error;
    // When fstat fails, st holds nothing to look at: its own error is the answer.
    struct stat st;
    error = fstat(int(*file), &st) != 0 ? errno : S_ISDIR(st.st_mode) ? EISDIR : 0;
    if (error != 0)
        close(int(*file));
    return error;
}

int systemOpenOwnFile(const char* name, osFile* file)
{
    int fd = open(name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return errno == ELOOP ? osNotOwnFile : errno;
    // Checked on what was opened, not by the name, which another user may change meanwhile.
    struct stat st;
    int error = fstat(fd, &st) != 0 ? errno : 0;
    if (error == 0 && (!S_ISREG(st.st_mode) || st.st_uid != geteuid() || st.st_nlink != 1 ||
                       (st.st_mode & (S_IWGRP | S_IWOTH)) != 0))
        error = osNotOwnFile;
    if (error != 0) {
        close(fd);
        return error;
    }
    *file = fd;
    return 0;
}

int systemCreateNew(const char* name, osFile* file)
{
    int error = openFile(name, O_WRONLY | O_CREAT | O_EXCL, file);
    // The lock shows that a live process owns the file; it goes with the process. A file
    // system without locks loses only the removal of files killed runs left.
    if (error == 0)
        (void)flock(int(*file), LOCK_EX | LOCK_NB);
    return error;
}

int systemOpenForWriting(const char* name, osFile* file)
{
    return openFile(name, O_WRONLY, file);
}

int systemClose(osFile file)
{
    // A close interrupted by a signal must not be made again on Linux: the descriptor is gone.
    if (close(int(file)) != 0 && errno != EINTR)
        return errno;
    return 0;
}

int systemSync(osFile file)
{
    return fsync(int(file)) == 0 ? 0 : errno;
}

int systemRemoveFile(const char* name)
{
    return unlink(name) == 0 ? 0 : errno;
}

int systemRename(const char* from, const char* to)
{
    return rename(from, to) == 0 ? 0 : errno;
}

int systemLink(const char* existing, const char* link)
{
    return ::link(existing, link) == 0 ? 0 : errno;
}

int systemRead(osFile file, void* buffer, std::size_t bytes, std::int64_t offset, std::size_t* got)
{
    const ssize_t n = offset == osAtPosition ? read(int(file), buffer, bytes)
                                             : pread(int(file), buffer, bytes, off_t(offset));
    *got = n > 0 ? std::size_t(n) : 0;
    return n < 0 ? errno : 0;
}

int systemReadScattered(osFile file, const struct iovec* pieces, int count, std::int64_t offset, std::size_t* got)
{
    const ssize_t n = offset == osAtPosition ? readv(int(file), pieces, count)
                                             : preadv(int(file), pieces, count, off_t(offset));
    *got = n > 0 ? std::size_t(n) : 0;
    return n < 0 ? errno : 0;
}

int systemWrite(osFile file, const void* buffer, std::size_t bytes, std::int64_t offset, std::size_t* put)
{
    const ssize_t n = offset == osAtPosition ? write(int(file), buffer, bytes)
                                             : pwrite(int(file), buffer, bytes, off_t(offset));
    *put = n > 0 ? std::size_t(n) : 0;
    return n < 0 ? errno : 0;
}

bool systemRegularFileSize(osFile file, std::int64_t* size)
{
    struct stat st;
    if (fstat(int(file), &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    *size = std::int64_t(st.st_size);
    return true;
}

int systemReserveSpace(osFile file, std::int64_t bytes)
{
#if defined(__linux__) && defined(FALLOC_FL_KEEP_SIZE)
    // fallocate itself, never posix_fallocate: where the file system cannot set storage
    // aside, that would write the whole file once more to find room.
    if (fallocate(int(file), FALLOC_FL_KEEP_SIZE, 0, off_t(bytes)) == 0)
        return 0;
    return errno == EOPNOTSUPP || errno == ENOSYS || errno == EINTR ? 0 : errno;
#else
    (void)file, (void)bytes;
    return 0;
#endif
}

int systemTryLockOpenFile(osFile file)
{
    if (flock(int(file), LOCK_EX | LOCK_NB) == 0)
        return 0;
    // A file system without locks cannot keep runs apart; nothing else is lost.
    return errno == ENOLCK || errno == EOPNOTSUPP || errno == EINVAL ? 0 : errno;
}

bool systemIdentifyOpenFile(osFile file, osFileIdentity* identity, bool* stream)
{
    struct stat st;
    if (fstat(int(file), &st) != 0)
        return false;
    identity->device = std::uint64_t(st.st_dev);
    identity->node = std::uint64_t(st.st_ino);
    *stream = !S_ISREG(st.st_mode);
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

const int osLockHeld = EWOULDBLOCK;
const int osNotOwnFile = EPERM;
const int osNoSuchFile = ENOENT;
const int osIsADirectory = EISDIR;
const char* const osLineEnd = "\n";

bool osNotFound(int error)
{
    return error == ENOENT;
}

bool osTooManyOpenFiles(int error)
{
    return error == EMFILE || error == ENFILE;
}

bool osNoSpace(int error)
{
    return error == ENOSPC || error == EDQUOT || error == EFBIG;
}

const char* osErrorText(int error)
{
    return std::strerror(error);
}

