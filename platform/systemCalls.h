// One attempt of each call, as each system makes it (the *Posix.cpp and *Windows.cpp
// files); platform/osLayer.cpp wraps them with the fault switch and the loops that continue
// partial transfers and interrupted calls. Return 0 or the system's error code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/directories.h"
#include "platform/files.h"

#if OS_HAS_SCATTER_READ
#include <climits>
#include <sys/uio.h>
#endif

// The error of a call a signal interrupted, and whether an error is one.
extern const int systemInterruptedError;
bool systemInterrupted(int error);
// What a write that moved nothing means.
extern const int systemNoSpaceError;

int systemOpenForReading(const char* name, osFile* file);
int systemOpenOwnFile(const char* name, osFile* file);
int systemCreateNew(const char* name, osFile* file);
int systemOpenForWriting(const char* name, osFile* file);
int systemClose(osFile file);
int systemSync(osFile file);
int systemRemoveFile(const char* name);
int systemRename(const char* from, const char* to);
int systemLink(const char* existing, const char* link);
// One request; *got 0 at the end of the file.
int systemRead(osFile file, void* buffer, std::size_t bytes, std::int64_t offset, std::size_t* got);
#if OS_HAS_SCATTER_READ
int systemReadScattered(osFile file, const struct iovec* pieces, int count, std::int64_t offset, std::size_t* got);
#endif
int systemWrite(osFile file, const void* buffer, std::size_t bytes, std::int64_t offset, std::size_t* put);
bool systemRegularFileSize(osFile file, std::int64_t* size);
int systemReserveSpace(osFile file, std::int64_t bytes);
int systemTryLockOpenFile(osFile file);
bool systemIdentifyOpenFile(osFile file, osFileIdentity* identity, bool* stream);

// Fills `buffer` with the directory and sets *needed to 0, or says in *needed how large
// the buffer must be.
int systemCurrentDirectory(std::string* buffer, std::size_t* needed);
int systemKindOfFile(const char* name, osFileKind* kind);
int systemMayWrite(const char* name);
int systemMayReplace(const char* name);
int systemFollowLinks(const char* name, std::string* target);
bool systemIdentifyFile(const char* name, osFileIdentity* identity);
bool systemIdentifyStream(const char* name, osFileIdentity* identity);
int systemListDirectory(const std::string& directory, void (*visit)(void* context, const char* name), void* context);
int systemLookAtFile(const char* name, osFoundFile* found);
int systemRemoveUnheldFile(const char* path);
int systemTryLock(const char* path, osFile* lock);

// Calls `remove` with every name osRememberTemporaryFile holds: from a signal handler or a
// console handler, so `remove` must be safe there.
void removeRememberedFiles(void (*remove)(const char* name));
osRoom systemFreeSpace(const std::string& directory);
