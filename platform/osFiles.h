// The operating-system layer: every call that opens, reads, writes or closes a file, asks
// for the current directory or compares file identities goes through here. POSIX and
// Windows versions stand side by side in osFiles.cpp.
// Functions that can fail return 0 on success or the system's error code, which
// osErrorText turns into words.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

typedef std::intptr_t osFile;
constexpr osFile osNoFile = -1;

// Opens a movie for reading, binary, shared with other processes. A directory or anything
// else that cannot be read as a file is refused with an error code.
int osOpenForReading(const char* name, osFile* file);

// Creates (or empties) a movie for writing, binary, shared with other processes; a new file
// may be read and written by everyone the process's file-creation mask allows.
int osCreateForWriting(const char* name, osFile* file);

int osClose(osFile file);

// Removes a file; a name that leads to nothing or to a directory is an error, nothing else
// happens.
int osRemoveFile(const char* name);

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

// Lets the process keep as many files open as the system allows it.
void osRaiseOpenFileLimit();
// True for the error of an open refused because too many files are open.
bool osTooManyOpenFiles(int error);

// Writes all `bytes`, continuing partial transfers.
int osWriteFull(osFile file, const void* buffer, std::size_t bytes);

// For a regular file: true, with its size. For pipes, FIFOs and devices: false.
bool osRegularFileSize(osFile file, std::int64_t* size);

// Tells the system the file will be read once from start to end.
void osAdviseSequential(osFile file);

struct osFileIdentity {
    std::uint64_t device;
    std::uint64_t node;
};

// The identity of the file a name leads to, symbolic links followed; false when the name
// leads to no file.
bool osIdentifyFile(const char* name, osFileIdentity* identity);
bool osSameFile(const osFileIdentity& a, const osFileIdentity& b);

// The whole current working directory, however long, as the system reports it.
int osCurrentDirectory(std::string* directory);

// The separator the system puts between a directory and a name, and whether a name must
// stand alone rather than after the current directory: it starts from a root of the file
// system (on Windows also a name with a drive letter, which no directory may precede).
extern const char osPathSeparator;
bool osIsAbsolutePath(const char* name);

// Creates (or empties) the text file `name` and writes `text` to it through a text-mode
// stream, so that each "\n" is stored the way the system ends lines of text (CR LF on
// Windows). Success only once the file was closed without error.
int osWriteTextFile(const char* name, const char* text);

const char* osErrorText(int error);
