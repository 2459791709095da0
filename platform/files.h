// Files: opening, reading, writing, syncing, renaming, linking and removing them, and what
// an open file is. Functions that can fail return 0 or the system's error code, which
// osErrorText turns into words. POSIX and Windows halves: filesPosix.cpp, filesWindows.cpp.
#pragma once

#include <cstddef>
#include <cstdint>

typedef std::intptr_t osFile;
constexpr osFile osNoFile = -1;

// Reads and writes at this offset go where the file's own position is, and move it on:
// the only way a pipe or device can be read or written.
constexpr std::int64_t osAtPosition = -1;

// Opens a movie for reading, binary, shared with other processes. A directory is refused.
int osOpenForReading(const char* name, osFile* file);

// Opens for reading a file this process's user made and alone may change: a regular file
// of that user's with one name, which no other user may write, reached without following a
// link and without waiting on a FIFO. osNotOwnFile for anything else found at the name.
int osOpenOwnFile(const char* name, osFile* file);

// Creates the new file `name` for writing, binary, refused if anything has that name; may be
// read and written by everyone the process's file-creation mask allows. While it is open, it
// is held: osRemoveUnheldFile in another process leaves it alone.
int osCreateNew(const char* name, osFile* file);

// Opens an existing pipe, FIFO, device or file for writing, as it is (nothing truncated).
int osOpenForWriting(const char* name, osFile* file);

int osClose(osFile file);
// Closes a file that was only read: nothing can be lost, so the outcome does not matter.
void osCloseAfterReading(osFile file);

// Forces what was written to the file onto its storage.
int osSync(osFile file);

// Removes a file; a name that leads to nothing or to a directory is an error.
int osRemoveFile(const char* name);

// Renames `from` to `to`, replacing a file there, in one step.
int osRename(const char* from, const char* to);

// Gives the file `existing` the second name `link`.
int osLink(const char* existing, const char* link);

// Reads until `bytes` are in or the file ends, at `offset` or, with osAtPosition, where
// the file stands; *got tells how many arrived. Partial transfers (pipes, FIFOs, signals)
// are continued; a request to stop ends the read with an error.
int osReadFull(osFile file, void* buffer, std::size_t bytes, std::int64_t offset, std::size_t* got);

// Reads rowCount rows of rowBytes each into memory, the first at `first` and each next one
// rowStride bytes further, from consecutive bytes of the file (at `offset` or where it
// stands), in as few requests as the system allows. Where it cannot scatter a read (Windows),
// OS_HAS_SCATTER_READ is 0 and callers read whole and copy.
#if !defined(_WIN32)
#define OS_HAS_SCATTER_READ 1
int osReadRows(osFile file, unsigned char* first, std::size_t rowBytes, std::size_t rowStride,
               std::size_t rowCount, std::int64_t offset, std::size_t* got);
#else
#define OS_HAS_SCATTER_READ 0
#endif

// Writes all `bytes` at `offset` or where the file stands, continuing partial transfers; a
// request to stop ends a write that cannot go on at once (a pipe nobody reads) with an error.
int osWriteFull(osFile file, const void* buffer, std::size_t bytes, std::int64_t offset);

// For a regular file: true, with its size. For pipes, FIFOs and devices: false.
bool osRegularFileSize(osFile file, std::int64_t* size);

// Tells the system the file will be read once from start to end.
void osAdviseSequential(osFile file);

// Sets `bytes` of storage aside for a file being written, without writing it and without
// changing its length: a disk too small says so now, not halfway. 0 where the file system
// cannot set storage aside (nothing is lost then), else the system's error.
int osReserveSpace(osFile file, std::int64_t bytes);

// Takes the lock of a file another run of Mozaro would also take (a FIFO being written, say),
// without waiting: 0, osLockHeld while someone else holds it, or an error. It goes with
// the file's close.
int osTryLockOpenFile(osFile file);

struct osFileIdentity {
    std::uint64_t device;
    std::uint64_t node;
};

// The identity of an open file and whether it is a stream (pipe, FIFO, device); false where
// the system cannot tell.
bool osIdentifyOpenFile(osFile file, osFileIdentity* identity, bool* stream);
bool osSameFile(const osFileIdentity& a, const osFileIdentity& b);

// The error of a lock someone else holds.
extern const int osLockHeld;
// The error of a file found in a shared folder that is not this user's own to trust.
extern const int osNotOwnFile;
// True for the error of a name that leads to nothing; such an error.
bool osNotFound(int error);
extern const int osNoSuchFile;
// The error of writing a file where a directory is.
extern const int osIsADirectory;
// True for the error of an open refused because too many files are open.
bool osTooManyOpenFiles(int error);
// True for the error of a file system that is full.
bool osNoSpace(int error);

// How the system ends a line of text: "\n", or "\r\n" on Windows.
extern const char* const osLineEnd;

const char* osErrorText(int error);

