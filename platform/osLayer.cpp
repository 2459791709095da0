// Every public call of the layer that reaches the system, written once for both systems:
// the fault switch's point (in builds for the fault sweep), then the system's own call, and
// the loops that continue partial transfers and calls a signal interrupted.
#include <csignal>
#include <cstring>

#include "platform/directories.h"
#include "platform/files.h"
#include "platform/process.h"
#include "platform/systemCalls.h"

#if defined(MOZARO_FAULT_INJECTION)
#include "platform/faultSwitch.h"
#define FAULT_POINT(call, name, failure)                                                                     \
    do {                                                                                                     \
        if (osFaultAt(osCall_##call, name) == osHardFault)                                                   \
            return failure;                                                                                  \
    } while (0)
#define INJECTED(call) osInjectedError(osCall_##call)
#define FILE_NAME(file) osFaultFileName(file)
#define NAME_FILE(file, name) osFaultNameFile(file, name)
static bool takeFault(osFaultKind kind)
{
    return osTakeFault(kind);
}
#else
#define FAULT_POINT(call, name, failure) ((void)0)
#define NAME_FILE(file, name) ((void)0)
enum { osInterruptFault, osShortFault };
static bool takeFault(int)
{
    return false;
}
#endif

// A single request is kept below 1 GiB so that every system takes it whole.
static const std::size_t largestRequest = std::size_t(1) << 30;

// An interrupted call is made again, unless the interruption was a request to stop.
static bool again(int error)
{
    return systemInterrupted(error) && osStopRequested() == 0;
}

// The system's error, or an interruption where the fault sweep asks for one.
#define ATTEMPT(call) (takeFault(osInterruptFault) ? systemInterruptedError : (call))

// ---- The temporary-file registry ----

// Files a second request to stop removes on its own. Filled by the main thread only; the
// handler reads a name only once its entry says it is whole.
enum { temporaryEntries = 8, temporaryNameBytes = 4096 };
static char temporaryNames[temporaryEntries][temporaryNameBytes];
static volatile std::sig_atomic_t temporaryKnown[temporaryEntries];

int osRememberTemporaryFile(const char* name)
{
    if (std::strlen(name) >= std::size_t(temporaryNameBytes))
        return -1;
    for (int entry = 0; entry < temporaryEntries; entry++) {
        if (!temporaryKnown[entry]) {
            std::strcpy(temporaryNames[entry], name);
            temporaryKnown[entry] = 1;
            return entry;
        }
    }
    return -1;
}

void osForgetTemporaryFile(int entry)
{
    if (entry >= 0 && entry < temporaryEntries)
        temporaryKnown[entry] = 0;
}

void removeRememberedFiles(void (*remove)(const char* name))
{
    for (int entry = 0; entry < temporaryEntries; entry++)
        if (temporaryKnown[entry])
            remove(temporaryNames[entry]);
}

// ---- Files ----

// An open made again when a signal interrupts it (a FIFO waits for its other end there).
static int openAgain(int (*open)(const char* name, osFile* file), const char* name, osFile* file)
{
    int error;
    do
        error = ATTEMPT(open(name, file));
    while (again(error));
    if (error == 0)
        NAME_FILE(*file, name);
    return error;
}

int osOpenForReading(const char* name, osFile* file)
{
    FAULT_POINT(open, name, INJECTED(open));
    return openAgain(systemOpenForReading, name, file);
}

int osOpenOwnFile(const char* name, osFile* file)
{
    FAULT_POINT(openOwn, name, INJECTED(openOwn));
    const int error = systemOpenOwnFile(name, file);
    if (error == 0)
        NAME_FILE(*file, name);
    return error;
}

int osCreateNew(const char* name, osFile* file)
{
    FAULT_POINT(create, name, INJECTED(create));
    return openAgain(systemCreateNew, name, file);
}

int osOpenForWriting(const char* name, osFile* file)
{
    FAULT_POINT(openForWriting, name, INJECTED(openForWriting));
    return openAgain(systemOpenForWriting, name, file);
}

int osClose(osFile file)
{
    // The file goes as it would with the system's error.
    FAULT_POINT(close, FILE_NAME(file), (systemClose(file), INJECTED(close)));
    return systemClose(file);
}

void osCloseAfterReading(osFile file)
{
    FAULT_POINT(closeRead, FILE_NAME(file), (void)systemClose(file));
    (void)systemClose(file);
}

int osSync(osFile file)
{
    FAULT_POINT(sync, FILE_NAME(file), INJECTED(sync));
    int error;
    do
        error = ATTEMPT(systemSync(file));
    while (again(error));
    return error;
}

int osRemoveFile(const char* name)
{
    FAULT_POINT(remove, name, INJECTED(remove));
    return systemRemoveFile(name);
}

int osRename(const char* from, const char* to)
{
    FAULT_POINT(rename, from, INJECTED(rename));
    return systemRename(from, to);
}

int osLink(const char* existing, const char* link)
{
    FAULT_POINT(link, link, INJECTED(link));
    return systemLink(existing, link);
}

static std::int64_t advanced(std::int64_t offset, std::size_t bytes)
{
    return offset == osAtPosition ? offset : offset + std::int64_t(bytes);
}

int osReadFull(osFile file, void* buffer, std::size_t bytes, std::int64_t offset, std::size_t* got)
{
    *got = 0;
    FAULT_POINT(read, FILE_NAME(file), INJECTED(read));
    unsigned char* at = static_cast<unsigned char*>(buffer);
    std::size_t done = 0;
    while (done < bytes) {
        std::size_t request = bytes - done < largestRequest ? bytes - done : largestRequest;
        if (takeFault(osShortFault) && request > 1)
            request /= 2;   // as a reader gets from a pipe that holds less
        std::size_t n = 0;
        int error = ATTEMPT(systemRead(file, at + done, request, advanced(offset, done), &n));
        if (again(error))
            continue;
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

#if OS_HAS_SCATTER_READ
int osReadRows(osFile file, unsigned char* first, std::size_t rowBytes, std::size_t rowStride,
               std::size_t rowCount, std::int64_t offset, std::size_t* got)
{
    *got = 0;
    FAULT_POINT(read, FILE_NAME(file), INJECTED(read));
    enum { rowsPerRequest = IOV_MAX < 1024 ? IOV_MAX : 1024 };
    struct iovec rows[rowsPerRequest];
    std::size_t done = 0;
    std::size_t row = 0;        // first row not yet complete
    std::size_t rowDone = 0;    // bytes of that row already in
    while (row < rowCount) {
        std::size_t n = rowCount - row < std::size_t(rowsPerRequest) ? rowCount - row : std::size_t(rowsPerRequest);
        for (std::size_t r = 0; r < n; r++) {
            rows[r].iov_base = first + (row + r) * rowStride;
            rows[r].iov_len = rowBytes;
        }
        rows[0].iov_base = first + row * rowStride + rowDone;
        rows[0].iov_len = rowBytes - rowDone;
        if (takeFault(osShortFault))
            n = 1;   // as a reader gets from a pipe that holds less
        std::size_t in = 0;
        int error = ATTEMPT(systemReadScattered(file, rows, int(n), advanced(offset, done), &in));
        if (again(error))
            continue;
        if (error != 0) {
            *got = done;
            return error;
        }
        if (in == 0)
            break;
        done += in;
        const std::size_t left = in + rowDone;
        row += left / rowBytes;
        rowDone = left % rowBytes;
    }
    *got = done;
    return 0;
}
#endif

int osWriteFull(osFile file, const void* buffer, std::size_t bytes, std::int64_t offset)
{
    FAULT_POINT(write, FILE_NAME(file), INJECTED(write));
    const unsigned char* at = static_cast<const unsigned char*>(buffer);
    std::size_t done = 0;
    while (done < bytes) {
        // A pipe nobody reads takes part of a piece and then blocks: asked to stop, the run
        // must not go back to wait there.
        if (done > 0 && osStopRequested() != 0)
            return systemInterruptedError;
        std::size_t request = bytes - done < largestRequest ? bytes - done : largestRequest;
        if (takeFault(osShortFault) && request > 1)
            request /= 2;
        std::size_t n = 0;
        int error = ATTEMPT(systemWrite(file, at + done, request, advanced(offset, done), &n));
        if (again(error))
            continue;
        if (error != 0)
            return error;
        if (n == 0)
            return systemNoSpaceError;
        done += n;
    }
    return 0;
}

bool osRegularFileSize(osFile file, std::int64_t* size)
{
    FAULT_POINT(size, FILE_NAME(file), false);
    return systemRegularFileSize(file, size);
}

int osReserveSpace(osFile file, std::int64_t bytes)
{
    FAULT_POINT(reserve, FILE_NAME(file), INJECTED(reserve));
    return bytes > 0 ? systemReserveSpace(file, bytes) : 0;
}

int osTryLockOpenFile(osFile file)
{
    FAULT_POINT(lockOpenFile, FILE_NAME(file), INJECTED(lockOpenFile));
    return systemTryLockOpenFile(file);
}

bool osIdentifyOpenFile(osFile file, osFileIdentity* identity, bool* stream)
{
    FAULT_POINT(identifyOpen, FILE_NAME(file), false);
    return systemIdentifyOpenFile(file, identity, stream);
}

bool osSameFile(const osFileIdentity& a, const osFileIdentity& b)
{
    return a.device == b.device && a.node == b.node;
}

// ---- Directories and names ----

int osCurrentDirectory(std::string* directory)
{
    FAULT_POINT(currentDirectory, nullptr, INJECTED(currentDirectory));
    std::string buffer(256, '\0');
    for (;;) {
        // The directory may change between two calls, hence the loop.
        std::size_t needed = 0;
        int error = systemCurrentDirectory(&buffer, &needed);
        if (error != 0)
            return error;
        if (needed == 0) {
            *directory = buffer;
            return 0;
        }
        buffer.resize(needed);
    }
}

int osKindOfFile(const char* name, osFileKind* kind)
{
    FAULT_POINT(kind, name, INJECTED(kind));
    return systemKindOfFile(name, kind);
}

int osMayWrite(const char* name)
{
    FAULT_POINT(mayWrite, name, INJECTED(mayWrite));
    return systemMayWrite(name);
}

int osMayReplace(const char* name)
{
    FAULT_POINT(mayReplace, name, INJECTED(mayReplace));
    return systemMayReplace(name);
}

int osFollowLinks(const char* name, std::string* target)
{
    FAULT_POINT(followLinks, name, INJECTED(followLinks));
    return systemFollowLinks(name, target);
}

bool osIdentifyFile(const char* name, osFileIdentity* identity)
{
    FAULT_POINT(identify, name, false);
    return systemIdentifyFile(name, identity);
}

bool osIdentifyStream(const char* name, osFileIdentity* identity)
{
    FAULT_POINT(identify, name, false);
    return systemIdentifyStream(name, identity);
}

int osListDirectory(const std::string& directory, void (*visit)(void* context, const char* name), void* context)
{
    FAULT_POINT(list, directory.c_str(), INJECTED(list));
    return systemListDirectory(directory, visit, context);
}

int osLookAtFile(const char* name, osFoundFile* found)
{
    *found = osFoundFile{};
    FAULT_POINT(lookAt, name, INJECTED(lookAt));
    return systemLookAtFile(name, found);
}

int osRemoveUnheldFile(const char* path)
{
    FAULT_POINT(removeUnheld, path, INJECTED(removeUnheld));
    return systemRemoveUnheldFile(path);
}

int osTryLock(const char* path, osFile* lock)
{
    FAULT_POINT(lock, path, INJECTED(lock));
    int error;
    do
        error = ATTEMPT(systemTryLock(path, lock));
    while (again(error));
    if (error == 0)
        NAME_FILE(*lock, path);
    return error;
}

osRoom osFreeSpace(const std::string& directory)
{
    FAULT_POINT(freeSpace, directory.c_str(), (osRoom{-1, 0, false}));
    return systemFreeSpace(directory);
}
