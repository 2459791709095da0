// The operating-system layer: every call that opens, reads, writes, closes, renames or
// removes a file, asks about a file or a directory, or concerns the process itself goes
// through here. POSIX and Windows versions stand side by side in osFiles.cpp.
// Functions that can fail return 0 on success or the system's error code, which
// osErrorText turns into words.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

typedef std::intptr_t osFile;
constexpr osFile osNoFile = -1;

// ---- The process ----

// Makes the process safe to run. Any of standard input, output and error that is closed is
// opened on the null device, so that no file of the run can take its number (*outputWasClosed
// tells whether standard output was). Writing to a pipe whose reader has gone, or past a
// file-size limit, becomes an ordinary write error. An interrupt, a termination request or a
// hang-up (Ctrl-C, Ctrl-Break, a closed console) only asks the run to stop: reads and writes
// it blocks in return with an error, and osStopRequested says so; asked a second time, the
// process removes the files osRememberTemporaryFile names and ends at once.
void osPrepareProcess(bool* outputWasClosed);

// The pending request to stop, or 0.
int osStopRequested();

// Ends the process the way the request to stop would have ended it (by the signal on POSIX,
// so that the exit status says which).
[[noreturn]] void osStopAsRequested();

// A file that a second request to stop removes; null forgets it. Slots 0 and 1.
void osRememberTemporaryFile(int slot, const char* name);

osFile osStandardInput();
int osProcessId();

// ---- Files ----

// Opens a movie for reading, binary, shared with other processes. A directory is refused.
int osOpenForReading(const char* name, osFile* file);

// Creates the new file `name` for writing, binary, refused if anything has that name; may be
// read and written by everyone the process's file-creation mask allows. While it is open,
// osRemoveStaleFiles in another process leaves it alone.
int osCreateNew(const char* name, osFile* file);

// Opens an existing pipe, FIFO or device for writing, as it is.
int osOpenStreamForWriting(const char* name, osFile* file);

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

// True for the error of a name that leads to nothing.
bool osNotFound(int error);
// The error of writing a file where a directory is.
extern const int osIsADirectory;

// Reads until `bytes` are in or the file ends; *got tells how many arrived. Partial
// transfers (pipes, FIFOs, signals) are continued.
int osReadFull(osFile file, void* buffer, std::size_t bytes, std::size_t* got);

#if !defined(_WIN32)
// Reads rowCount rows of rowBytes each, the first at `first` and each next one rowStride
// bytes further, in as few read requests as the system allows (scatter reads); otherwise
// like osReadFull. Windows has no scatter read for such rows: callers read into a
// contiguous buffer and copy.
#define OS_HAS_SCATTER_READ 1
int osReadRows(osFile file, unsigned char* first, std::size_t rowBytes, std::size_t rowStride,
               std::size_t rowCount, std::size_t* got);
#else
#define OS_HAS_SCATTER_READ 0
#endif

// Writes all `bytes`, continuing partial transfers.
int osWriteFull(osFile file, const void* buffer, std::size_t bytes);

enum osFileKind { osNothing, osRegularFile, osDirectory, osStream, osOtherFile };

// What `name` leads to, symbolic links followed; a name that leads nowhere is osNothing.
int osKindOfFile(const char* name, osFileKind* kind);

// 0 when the process may write to `name`, an existing file or directory (for a directory:
// create and remove files in it), else the reason why not.
int osMayWrite(const char* name);

// The file a symbolic link leads to, so that a movie written through a link replaces the
// file and not the link; the name itself where it is no link or leads nowhere.
std::string osFollowLinks(const char* name);

// For a regular file: true, with its size. For pipes, FIFOs and devices: false.
bool osRegularFileSize(osFile file, std::int64_t* size);

// Tells the system the file will be read once from start to end.
void osAdviseSequential(osFile file);

// Lets the process keep as many files open as the system allows it.
void osRaiseOpenFileLimit();
// True for the error of an open refused because too many files are open.
bool osTooManyOpenFiles(int error);

struct osFileIdentity {
    std::uint64_t device;
    std::uint64_t node;
};

// The identity of the file a name leads to, symbolic links followed; false when the name
// leads to no file.
bool osIdentifyFile(const char* name, osFileIdentity* identity);
// The identity of an open file and whether it is a stream (pipe, FIFO, device); false where
// the system cannot tell.
bool osIdentifyOpenFile(osFile file, osFileIdentity* identity, bool* stream);
bool osSameFile(const osFileIdentity& a, const osFileIdentity& b);

// ---- Directories and names ----

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

// How the system ends a line of text: "\n", or "\r\n" on Windows.
extern const char* const osLineEnd;

// Holds other Mozaro runs off `directory` ("" for the current one) while a run replaces a
// movie there, waiting while another holds it. `lockName` is a file in that directory
// the system may use for the lock.
int osLockDirectory(const std::string& directory, const std::string& lockName, osFile* lock);
void osUnlockDirectory(osFile lock);

// Removes the files in `directory` whose names start with `prefix` and that no running
// process holds open from osCreateNew.
void osRemoveStaleFiles(const std::string& directory, const std::string& prefix);

const char* osErrorText(int error);
