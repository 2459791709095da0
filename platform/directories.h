// Directories and names: the current directory, what a name leads to, the lock a folder's
// runs share, and the leftovers of runs that died. POSIX and Windows halves:
// directoriesPosix.cpp, directoriesWindows.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/files.h"

// The whole current working directory, however long, as the system reports it.
int osCurrentDirectory(std::string* directory);

// The separator the system puts between a directory and a name, and whether a name must
// stand alone rather than after the current directory: it starts from a root of the file
// system (on Windows also a name with a drive letter, which no directory may precede).
extern const char osPathSeparator;
bool osIsAbsolutePath(const char* name);
// How many leading bytes of `name` are its directory part, separator included (on Windows
// also a drive's "C:"); 0 for a name in the current directory.
std::size_t osDirectoryPartLength(const char* name);

// The path of `name` that needs no current directory: `name` itself where it is one, else
// `directory` (the current one), the separator and `name`. On Windows the system completes a
// name rooted on the current drive (\movies\m) or relative to a drive's own current
// directory (C:m).
std::string osPathFrom(const std::string& directory, const char* name);

// The name as the file system stores it: on Windows without the dots and blanks that end
// it, which the system drops (unless the name is to be taken as it stands, \\?\...);
// elsewhere `name` itself.
std::string osStoredName(const char* name);

// Whether `name` can be a file name's text: on Windows, whose names are UTF-16, it must be
// UTF-8; elsewhere any bytes are.
bool osNameIsText(const char* name);

// True, with the device's name, where `name` is a name Windows keeps for a device in every
// folder (NUL, CON, AUX, COM1, nul.txt, ...); never on POSIX, where a device has a path of
// its own.
bool osDeviceName(const char* name, std::string* device);

enum osFileKind { osNothing, osRegularFile, osDirectory, osStream, osOtherFile };

// What `name` leads to, symbolic links followed; a name that leads nowhere is osNothing.
int osKindOfFile(const char* name, osFileKind* kind);

// 0 when the process may write to `name`, an existing file or directory (for a directory:
// create and remove files in it), else the reason why not.
int osMayWrite(const char* name);

// 0 when the process may put a new file in place of `name` in its directory, whoever owns
// it: a folder with the sticky bit (/tmp, a shared drop folder) lets only the file's owner,
// the folder's owner or the administrator do that. Else the reason why not.
int osMayReplace(const char* name);

// The file a symbolic link leads to, so that a movie written through a link replaces the
// file and not the link, even where that file does not exist yet; the name itself where it
// is no link. An error where the links go round in a circle, and osNotOwnFile, with *target
// the link, where a link on the way is another user's (but the administrator's).
int osFollowLinks(const char* name, std::string* target);

// The identity of the file a name leads to, symbolic links followed; false when the name
// leads to no file.
bool osIdentifyFile(const char* name, osFileIdentity* identity);

// True, with its identity, where `name` leads to a pipe, FIFO or device that every open
// shares (on Windows each open of a pipe is one of its own: false).
bool osIdentifyStream(const char* name, osFileIdentity* identity);

// What a name is where it stands, a symbolic link not followed: for a file found in a folder
// others may write, before anything in it is trusted.
struct osFoundFile {
    bool link = false;              // a symbolic link (on Windows any reparse point)
    osFileKind kind = osNothing;    // of the name itself; osOtherFile for a link
    bool own = false;               // this process's user owns it
    bool othersMayWrite = false;    // a user other than its owner may change it
    std::uint64_t names = 0;        // the names it has (hard links)
    std::string owner;              // the owner's user name (or number), "" where unknown
};
int osLookAtFile(const char* name, osFoundFile* found);

// Calls `visit` with every name in `directory` ("" for the current one) but . and ..;
// an error where the directory cannot be read.
int osListDirectory(const std::string& directory, void (*visit)(void* context, const char* name), void* context);

// Removes the file at `path` unless a live process holds it (osCreateNew, osTryLock) or it
// is not this user's own regular file: 0 when it was removed, osLockHeld when it is held,
// osNotOwnFile when it is another's (or a link, a FIFO, ...), else the system's error.
int osRemoveUnheldFile(const char* path);

// Takes the lock file `path` without waiting: creates it (readable by all) if it is not
// there. 0 with the lock, osLockHeld while another process holds it, osNotOwnFile where
// something else is in the way at that name (a link, a FIFO, a file with a second name or
// one this user may not open), else an error. Never follows a link nor waits on a FIFO; a
// lock file this call made and could not take is removed again. A process that dies lets go
// of its locks; the file it leaves is taken over by the next.
int osTryLock(const char* path, osFile* lock);
// Lets go of the lock and removes its file.
void osUnlock(const char* path, osFile lock);

// The room the file system that holds `directory` has for this process's files: the bytes
// it may still write (-1 where the system cannot tell), the least a file takes there, and
// whose free space that is: root's, the blocks the file system keeps back for the
// administrator included, or a user's (within any quota, on Windows).
struct osRoom {
    std::int64_t freeBytes;
    std::int64_t blockBytes;
    bool administrators;
};
osRoom osFreeSpace(const std::string& directory);
// The largest file the process may write (-1: no limit).
std::int64_t osFileSizeLimit();
