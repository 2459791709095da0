// Directories and names on POSIX systems.
#include <cerrno>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include "platform/systemCalls.h"

#ifndef O_CLOEXEC
#define O_CLOEXEC 0
#endif

const char osPathSeparator = '/';

bool osIsAbsolutePath(const char* name)
{
    return name[0] == '/';
}

std::string osPathFrom(const std::string& directory, const char* name)
{
    return osIsAbsolutePath(name) ? std::string(name) : directory + osPathSeparator + name;
}

std::string osStoredName(const char* name)
{
    return name;
}

bool osNameIsText(const char*)
{
    return true;
}

bool osDeviceName(const char*, std::string*)
{
    return false;
}

std::size_t osDirectoryPartLength(const char* name)
{
    const char* last = std::strrchr(name, '/');
    return last == nullptr ? 0 : std::size_t(last - name) + 1;
}

int systemCurrentDirectory(std::string* buffer, std::size_t* needed)
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

int systemKindOfFile(const char* name, osFileKind* kind)
{
    struct stat st;
    if (stat(name, &st) != 0) {
        if (errno != ENOENT)
            return errno;
        *kind = osNothing;
        return 0;
    }
    if (S_ISREG(st.st_mode))
        *kind = osRegularFile;
    else if (S_ISDIR(st.st_mode))
        *kind = osDirectory;
    else if (S_ISFIFO(st.st_mode) || S_ISCHR(st.st_mode) || S_ISSOCK(st.st_mode))
        *kind = osStream;
    else
        *kind = osOtherFile;
    return 0;
}

int systemMayWrite(const char* name)
{
    struct stat st;
    if (stat(name, &st) != 0)
        return errno;
    // Replacing a file in a directory takes writing and searching it.
    return access(name, S_ISDIR(st.st_mode) ? W_OK | X_OK : W_OK) == 0 ? 0 : errno;
}

int systemMayReplace(const char* name)
{
    struct stat file, folder;
    if (lstat(name, &file) != 0)
        return errno == ENOENT ? 0 : errno;
    const std::size_t part = osDirectoryPartLength(name);
    const std::string directory = part == 0 ? std::string(".") : std::string(name, part);
    if (stat(directory.c_str(), &folder) != 0)
        return errno;
    const uid_t me = geteuid();
    if ((folder.st_mode & S_ISVTX) != 0 && me != 0 && file.st_uid != me && folder.st_uid != me)
        return EPERM;
    return 0;
}

int systemFollowLinks(const char* name, std::string* target)
{
    std::string path = name;
    // As many links as the system itself follows in one name.
    for (int hop = 0; hop < 40; hop++) {
        struct stat st;
        if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
            *target = path;
            return 0;
        }
        // Another user's link may lead anywhere that user likes: it is not followed (unless it
        // is the administrator's, who could put anything anywhere anyway).
        if (st.st_uid != geteuid() && st.st_uid != 0) {
            *target = path;
            return osNotOwnFile;
        }
        std::string text(std::size_t(st.st_size > 0 ? st.st_size : PATH_MAX) + 1, '\0');
        const ssize_t n = readlink(path.c_str(), &text[0], text.size());
        if (n < 0)
            return errno;
        if (std::size_t(n) == text.size())
            continue;   // it grew meanwhile: read it again
        text.resize(std::size_t(n));
        path = text[0] == '/' ? text : path.substr(0, osDirectoryPartLength(path.c_str())) + text;
    }
    return ELOOP;
}

bool systemIdentifyFile(const char* name, osFileIdentity* identity)
{
    struct stat st;
    if (stat(name, &st) != 0)
        return false;
    identity->device = std::uint64_t(st.st_dev);
    identity->node = std::uint64_t(st.st_ino);
    return true;
}

bool systemIdentifyStream(const char* name, osFileIdentity* identity)
{
    struct stat st;
    if (stat(name, &st) != 0 || !(S_ISFIFO(st.st_mode) || S_ISCHR(st.st_mode) || S_ISSOCK(st.st_mode)))
        return false;
    identity->device = std::uint64_t(st.st_dev);
    identity->node = std::uint64_t(st.st_ino);
    return true;
}

int systemListDirectory(const std::string& directory, void (*visit)(void* context, const char* name), void* context)
{
    DIR* folder = opendir(directory.empty() ? "." : directory.c_str());
    if (folder == nullptr)
        return errno;
    while (struct dirent* entry = readdir(folder))
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
            visit(context, entry->d_name);
    closedir(folder);
    return 0;
}

int systemLookAtFile(const char* name, osFoundFile* found)
{
    struct stat st;
    if (lstat(name, &st) != 0)
        return errno;
    found->link = S_ISLNK(st.st_mode);
    found->kind = S_ISREG(st.st_mode)   ? osRegularFile
                  : S_ISDIR(st.st_mode) ? osDirectory
                  : S_ISFIFO(st.st_mode) || S_ISCHR(st.st_mode) || S_ISSOCK(st.st_mode) ? osStream
                                                                                        : osOtherFile;
    found->own = st.st_uid == geteuid();
    found->othersMayWrite = !found->link && (st.st_mode & (S_IWGRP | S_IWOTH)) != 0;
    found->names = std::uint64_t(st.st_nlink);
    // The name where the user database has one; its number otherwise.
    char text[1024];
    struct passwd entry, *result = nullptr;
    if (getpwuid_r(st.st_uid, &entry, text, sizeof text, &result) == 0 && result != nullptr)
        found->owner = result->pw_name;
    else
        found->owner = std::to_string((unsigned long)st.st_uid);
    return 0;
}

int systemRemoveUnheldFile(const char* path)
{
    int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return errno == ELOOP ? osNotOwnFile : errno;
    struct stat st;
    int error = fstat(fd, &st) != 0 ? errno : !S_ISREG(st.st_mode) || st.st_uid != geteuid() ? osNotOwnFile : 0;
    // Whoever holds the lock is alive; a file nobody holds was left by a run that died.
    if (error == 0)
        error = flock(fd, LOCK_EX | LOCK_NB) != 0 ? errno : unlink(path) != 0 ? errno : 0;
    close(fd);
    return error;
}

// Whether the lock's name holds something no run takes as its lock file. Whatever is there
// may be anyone's: it is only looked at, never opened in a way that could wait on it,
// follow it or change it.
static bool inTheWay(const char* path)
{
    struct stat st;
    return lstat(path, &st) == 0 && (!S_ISREG(st.st_mode) || st.st_nlink != 1);
}

int systemTryLock(const char* path, osFile* lock)
{
    for (;;) {
        bool made = true;
        int fd = open(path, O_RDONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
        if (fd < 0 && errno == EEXIST) {
            made = false;
            fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
            if (fd < 0 && errno == ENOENT)
                continue;   // its holder removed it as it let go
        }
        if (fd < 0) {
            const int error = errno;
            return error == ELOOP || (error == EACCES && !made) || inTheWay(path) ? osNotOwnFile : error;
        }
        struct stat held, named;
        const bool looked = fstat(fd, &held) == 0;
        if (looked && S_ISREG(held.st_mode) && held.st_nlink == 0) {
            close(fd);
            continue;   // its holder removed it as it let go, just after it was opened here
        }
        if (!looked || !S_ISREG(held.st_mode) || held.st_nlink != 1) {
            close(fd);
            return osNotOwnFile;
        }
        // Readable by every user whose runs share the folder, whatever the umask: a lock
        // file of one user must not stop another's runs for good.
        if (made)
            (void)fchmod(fd, 0644);
        int error;
        do
            error = flock(fd, LOCK_EX | LOCK_NB) != 0 ? errno : 0;
        while (error == EINTR);
        // The lock is the file at the name: the holder before may have removed it as it let go.
        const bool atName = lstat(path, &named) == 0 && held.st_dev == named.st_dev && held.st_ino == named.st_ino;
        if (error == 0 && atName) {
            *lock = fd;
            return 0;
        }
        // A file this run made and does not hold would stay behind it.
        if (made && atName && error != EWOULDBLOCK)
            (void)unlink(path);
        close(fd);
        if (error == ENOLCK || error == EOPNOTSUPP || error == EINVAL) {
            *lock = osNoFile;   // no locks here: runs race as they would without
            return 0;
        }
        if (error != 0)
            return error;
    }
}

void osUnlock(const char* path, osFile lock)
{
    if (lock == osNoFile)
        return;
    (void)unlink(path);
    close(int(lock));
}

osRoom systemFreeSpace(const std::string& directory)
{
    struct statvfs st;
    if (statvfs(directory.empty() ? "." : directory.c_str(), &st) != 0)
        return osRoom{-1, 0, false};
    // The administrator may use the blocks a file system keeps back; others may not.
    const bool administrators = geteuid() == 0;
    const unsigned long long blocks = administrators ? st.f_bfree : st.f_bavail;
    return osRoom{std::int64_t(blocks * st.f_frsize), std::int64_t(st.f_frsize), administrators};
}

std::int64_t osFileSizeLimit()
{
    struct rlimit limit;
    if (getrlimit(RLIMIT_FSIZE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return -1;
    return std::int64_t(limit.rlim_cur);
}
