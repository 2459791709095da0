#include "platform/osFiles.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// A single request is kept below 1 GiB so that every system takes it whole.
static const std::size_t largestRequest = std::size_t(1) << 30;

// The request to stop, set by the signal or console handler.
static volatile std::sig_atomic_t stopRequest = 0;

// Files a second request to stop removes on its own, in case the run could not clean up.
static char temporaryFiles[2][4096];
static volatile std::sig_atomic_t temporaryFileKnown[2];

int osStopRequested()
{
    return int(stopRequest);
}

#if defined(MOZARO_FAULT_INJECTION)
// Builds for the fault sweep only (CMake option MOZARO_FAULTS): every call of this layer
// that reaches the system is counted and, with MOZARO_FAULT_LOG set, written down ("N call
// name"); MOZARO_FAULT_AT=N makes the Nth fail. MOZARO_FAULT_KIND says how: "error" (the
// default) returns the error the system gives for such a call; "interrupt" interrupts its
// first attempt as a signal would (EINTR); "short" halves its first transfer. A release
// build has none of this and reads none of these variables.
enum FaultKind { noFault, hardFault, interruptFault, shortFault };
static FaultKind pendingFault = noFault;   // an interruption or short transfer still to come

static FaultKind nextCall(const char* call, const char* name)
{
    static bool loaded = false;
    static long long failAt = 0, calls = 0;
    static FaultKind kind = hardFault;
    static std::FILE* log = nullptr;
    if (!loaded) {
        loaded = true;
        if (const char* at = std::getenv("MOZARO_FAULT_AT"))
            failAt = std::atoll(at);
        if (const char* how = std::getenv("MOZARO_FAULT_KIND"))
            kind = std::strcmp(how, "interrupt") == 0 ? interruptFault : std::strcmp(how, "short") == 0 ? shortFault
                                                                                                      : hardFault;
        if (const char* path = std::getenv("MOZARO_FAULT_LOG"))
            log = std::fopen(path, "a");
    }
    calls++;
    if (log != nullptr) {
        std::fprintf(log, "%lld %s %s\n", calls, call, name != nullptr ? name : "-");
        std::fflush(log);
    }
    pendingFault = calls == failAt && kind != hardFault ? kind : noFault;
    return calls == failAt ? kind : noFault;
}

// True once, for the first attempt of the call the fault was meant for.
static bool takeFault(FaultKind kind)
{
    if (pendingFault != kind)
        return false;
    pendingFault = noFault;
    return true;
}
#define FAULT_POINT(call, name, failure)                                                                               \
    do {                                                                                                               \
        if (nextCall(call, name) == hardFault)                                                                         \
            return failure;                                                                                            \
    } while (0)
#else
enum FaultKind { interruptFault, shortFault };
static bool takeFault(FaultKind)
{
    return false;
}
#define FAULT_POINT(call, name, failure) ((void)0)
#endif

void osRememberTemporaryFile(int slot, const char* name)
{
    temporaryFileKnown[slot] = 0;
    if (name != nullptr && std::strlen(name) < sizeof temporaryFiles[slot]) {
        std::strcpy(temporaryFiles[slot], name);
        temporaryFileKnown[slot] = 1;
    }
}

#if defined(_WIN32)

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#if !defined(_WIN32_WINNT) || _WIN32_WINNT < 0x0601
#undef _WIN32_WINNT
#define _WIN32_WINNT 0x0601   // CancelSynchronousIo
#endif
#include <windows.h>

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

// The errors the fault sweep gives each kind of call, as Windows would.
static const int injectedOpenError = int(ERROR_ACCESS_DENIED);
static const int injectedReadError = int(ERROR_READ_FAULT);
static const int injectedWriteError = int(ERROR_DISK_FULL);
static const int injectedCloseError = int(ERROR_WRITE_FAULT);
static const int injectedRenameError = int(ERROR_NOT_SAME_DEVICE);
static const int injectedRemoveError = int(ERROR_ACCESS_DENIED);
static const int injectedQueryError = int(ERROR_ACCESS_DENIED);
static const int injectedDirectoryError = int(ERROR_PATH_NOT_FOUND);

// ---- The process ----

static HANDLE mainThread = nullptr;

// Runs on a thread of its own. The main thread's blocking read or write is cancelled, so
// that it sees the request, cleans up and ends the process; for a closed console, which
// ends the process once this returns, it waits for that.
static BOOL WINAPI onConsoleControl(DWORD event)
{
    if (stopRequest != 0) {
        for (int slot = 0; slot < 2; slot++)
            if (temporaryFileKnown[slot])
                DeleteFileA(temporaryFiles[slot]);
        return FALSE;   // asked twice: the system's own handling ends the process
    }
    stopRequest = std::sig_atomic_t(event + 1);
    if (mainThread != nullptr)
        CancelSynchronousIo(mainThread);
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT)
        Sleep(INFINITE);
    return TRUE;
}

void osPrepareProcess(bool* outputWasClosed)
{
    // Handles of files the run opens never take the standard handles' places.
    HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    *outputWasClosed = output == nullptr || output == INVALID_HANDLE_VALUE;
    DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &mainThread, 0, FALSE,
                    DUPLICATE_SAME_ACCESS);
    SetConsoleCtrlHandler(onConsoleControl, TRUE);
}

void osStopAsRequested()
{
    // What a console program stopped by Ctrl-C ends with.
    ExitProcess(0xC000013AU);
}

osFile osStandardInput()
{
    return reinterpret_cast<osFile>(GetStdHandle(STD_INPUT_HANDLE));
}

int osProcessId()
{
    return int(GetCurrentProcessId());
}

// ---- Files ----

// Without FILE_FLAG_BACKUP_SEMANTICS CreateFileA refuses directories (access denied), which
// is the refusal the movie files need. Files the run writes are not shared for deletion, so
// that another run cannot remove them while they are open.
static int openFile(const char* name, DWORD access, DWORD share, DWORD creation, DWORD flags, osFile* file)
{
    HANDLE handle = CreateFileA(name, access, share, nullptr, creation, flags, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return lastError();
    *file = reinterpret_cast<osFile>(handle);
    return 0;
}

int osOpenForReading(const char* name, osFile* file)
{
    FAULT_POINT("open", name, injectedOpenError);
    // Every input is read once from start to end, so the hint goes with the open.
    return openFile(name, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING,
                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, file);
}

int osCreateNew(const char* name, osFile* file)
{
    FAULT_POINT("create", name, injectedOpenError);
    return openFile(name, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                    file);
}

int osOpenStreamForWriting(const char* name, osFile* file)
{
    FAULT_POINT("openStream", name, injectedOpenError);
    return openFile(name, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                    file);
}

int osClose(osFile file)
{
    FAULT_POINT("close", nullptr, (CloseHandle(handleOf(file)), injectedCloseError));
    return CloseHandle(handleOf(file)) ? 0 : lastError();
}

void osCloseAfterReading(osFile file)
{
    FAULT_POINT("closeRead", nullptr, (void)CloseHandle(handleOf(file)));
    CloseHandle(handleOf(file));
}

int osSync(osFile file)
{
    FAULT_POINT("sync", nullptr, injectedCloseError);
    return FlushFileBuffers(handleOf(file)) ? 0 : lastError();
}

int osRemoveFile(const char* name)
{
    FAULT_POINT("remove", name, injectedRemoveError);
    return DeleteFileA(name) ? 0 : lastError();
}

int osRename(const char* from, const char* to)
{
    FAULT_POINT("rename", from, injectedRenameError);
    return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING) ? 0 : lastError();
}

int osLink(const char* existing, const char* link)
{
    FAULT_POINT("link", link, injectedRemoveError);
    return CreateHardLinkA(link, existing, nullptr) ? 0 : lastError();
}

bool osNotFound(int error)
{
    return error == int(ERROR_FILE_NOT_FOUND) || error == int(ERROR_PATH_NOT_FOUND);
}

// What creating a file over a directory meets.
const int osIsADirectory = int(ERROR_ACCESS_DENIED);

// One read request; *got 0 means the end of the file. A pipe whose writer has gone reports
// its end as a broken pipe.
static int readSome(osFile file, void* buffer, std::size_t bytes, std::size_t* got)
{
    DWORD n = 0;
    *got = 0;
    if (takeFault(shortFault) && bytes > 1)
        bytes /= 2;
    if (!ReadFile(handleOf(file), buffer, DWORD(bytes), &n, nullptr))
        return GetLastError() == ERROR_BROKEN_PIPE ? 0 : lastError();
    *got = n;
    return 0;
}

static int writeSome(osFile file, const void* buffer, std::size_t bytes, std::size_t* put)
{
    DWORD n = 0;
    if (takeFault(shortFault) && bytes > 1)
        bytes /= 2;
    if (!WriteFile(handleOf(file), buffer, DWORD(bytes), &n, nullptr))
        return lastError();
    *put = n;
    return 0;
}

static const int diskFullError = int(ERROR_DISK_FULL);

int osKindOfFile(const char* name, osFileKind* kind)
{
    FAULT_POINT("kind", name, injectedQueryError);
    // Opened without access, so that devices (NUL, CON) and pipes answer as well as files.
    HANDLE handle = CreateFileA(name, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        int error = lastError();
        if (!osNotFound(error))
            return error;
        *kind = osNothing;
        return 0;
    }
    DWORD type = GetFileType(handle);
    BY_HANDLE_FILE_INFORMATION information;
    bool known = type == FILE_TYPE_DISK && GetFileInformationByHandle(handle, &information);
    CloseHandle(handle);
    if (type == FILE_TYPE_CHAR || type == FILE_TYPE_PIPE)
        *kind = osStream;
    else if (!known)
        *kind = osOtherFile;
    else
        *kind = (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? osDirectory : osRegularFile;
    return 0;
}

int osMayWrite(const char* name)
{
    FAULT_POINT("mayWrite", name, injectedQueryError);
    // Windows decides on creating or replacing a file only when it is done; a read-only
    // file is the one refusal known beforehand.
    DWORD attributes = GetFileAttributesA(name);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        // Asked of a directory ("folder\."): a missing one is a path not found.
        int error = lastError();
        return error == int(ERROR_FILE_NOT_FOUND) ? int(ERROR_PATH_NOT_FOUND) : error;
    }
    if ((attributes & FILE_ATTRIBUTE_READONLY) != 0 && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
        return int(ERROR_ACCESS_DENIED);
    return 0;
}

std::string osFollowLinks(const char* name)
{
    return name;
}

bool osRegularFileSize(osFile file, std::int64_t* size)
{
    FAULT_POINT("size", nullptr, false);
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

void osRaiseOpenFileLimit()
{
    // Handles have no such small limit on Windows.
}

bool osTooManyOpenFiles(int error)
{
    return error == int(ERROR_TOO_MANY_OPEN_FILES);
}

static bool identityOf(HANDLE handle, osFileIdentity* identity)
{
    BY_HANDLE_FILE_INFORMATION information;
    if (!GetFileInformationByHandle(handle, &information))
        return false;
    identity->device = information.dwVolumeSerialNumber;
    identity->node = (std::uint64_t(information.nFileIndexHigh) << 32) | information.nFileIndexLow;
    return true;
}

bool osIdentifyFile(const char* name, osFileIdentity* identity)
{
    FAULT_POINT("identify", name, false);
    // No access asked and every sharing allowed, so that a file another process holds open
    // is still identified; backup semantics let directories open as well.
    HANDLE handle = CreateFileA(name, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    bool known = identityOf(handle, identity);
    CloseHandle(handle);
    return known;
}

bool osIdentifyOpenFile(osFile file, osFileIdentity* identity, bool* stream)
{
    FAULT_POINT("identifyOpen", nullptr, false);
    // Each open of a pipe is a pipe of its own: only files on disk can be the same twice.
    *stream = GetFileType(handleOf(file)) != FILE_TYPE_DISK;
    return !*stream && identityOf(handleOf(file), identity);
}

// ---- Directories and names ----

// Fills `buffer` with the directory and returns 0, or says in *needed how large it must be.
static const int injectedCurrentDirectoryError = injectedDirectoryError;

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
const char* const osLineEnd = "\r\n";

static bool isSeparator(char c)
{
    return c == '\\' || c == '/';
}

static bool hasDrive(const char* name)
{
    const char c = name[0];
    return ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')) && name[1] == ':';
}

bool osIsAbsolutePath(const char* name)
{
    // "C:\movies" and "C:/movies" start from a drive's root; "C:movies" from drive C's own
    // current directory: after another directory it would name no file, so it stands alone
    // too. One leading separator is the root of the current drive, two a UNC share
    // (\\server\share) or a device path (\\?\, \\.\).
    return hasDrive(name) || isSeparator(name[0]);
}

std::size_t osDirectoryPartLength(const char* name)
{
    std::size_t length = hasDrive(name) ? 2 : 0;
    for (std::size_t k = 0; name[k] != '\0'; k++)
        if (isSeparator(name[k]))
            length = k + 1;
    return length;
}

int osLockDirectory(const std::string& directory, const std::string& lockName, osFile* lock)
{
    FAULT_POINT("lock", lockName.c_str(), injectedOpenError);
    (void)directory;
    // A file nobody else may open and that goes with its last handle: a run that dies
    // leaves no lock behind.
    for (;;) {
        HANDLE handle = CreateFileA(lockName.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                                    FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
        if (handle != INVALID_HANDLE_VALUE) {
            *lock = reinterpret_cast<osFile>(handle);
            return 0;
        }
        DWORD error = GetLastError();
        if ((error != ERROR_SHARING_VIOLATION && error != ERROR_ACCESS_DENIED) || stopRequest != 0)
            return lastError();
        Sleep(10);
    }
}

void osUnlockDirectory(osFile lock)
{
    CloseHandle(handleOf(lock));
}

void osRemoveStaleFiles(const std::string& directory, const std::string& prefix)
{
    FAULT_POINT("removeStale", directory.c_str(), );
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((directory + prefix + "*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return;
    // A file a live run has open is not shared for deletion, so its removal fails.
    do
        DeleteFileA((directory + found.cFileName).c_str());
    while (FindNextFileA(search, &found));
    FindClose(search);
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

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#ifndef O_CLOEXEC
#define O_CLOEXEC 0
#endif

// The errors the fault sweep gives each kind of call, as the system would.
static const int injectedOpenError = EACCES;
static const int injectedReadError = EIO;
static const int injectedWriteError = ENOSPC;
static const int injectedCloseError = EIO;
static const int injectedRenameError = EXDEV;
static const int injectedRemoveError = EACCES;
static const int injectedQueryError = EACCES;
static const int injectedCurrentDirectoryError = ENOENT;

// ---- The process ----

static void onStopSignal(int signalNumber)
{
    if (stopRequest != 0) {
        // Asked twice: the run may be blocked where it cannot see the first request.
        int saved = errno;
        for (int slot = 0; slot < 2; slot++)
            if (temporaryFileKnown[slot])
                unlink(temporaryFiles[slot]);
        signal(signalNumber, SIG_DFL);
        raise(signalNumber);
        errno = saved;
        return;
    }
    stopRequest = signalNumber;
}

void osPrepareProcess(bool* outputWasClosed)
{
    *outputWasClosed = false;
    for (int fd = 0; fd <= 2; fd++) {
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
            // The lowest free number is this one, the ones below being open by now.
            if (open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY) != fd)
                _exit(125);
            if (fd == 1)
                *outputWasClosed = true;
        }
    }
    signal(SIGPIPE, SIG_IGN);
    signal(SIGXFSZ, SIG_IGN);
    // No SA_RESTART: a read or write the signal interrupts returns, so that the run sees it.
    struct sigaction stop;
    std::memset(&stop, 0, sizeof stop);
    stop.sa_handler = onStopSignal;
    sigemptyset(&stop.sa_mask);
    for (int signalNumber : {SIGINT, SIGTERM, SIGHUP}) {
        // A signal the caller chose to ignore (nohup, a background job) stays ignored.
        struct sigaction before;
        if (sigaction(signalNumber, nullptr, &before) == 0 && before.sa_handler != SIG_IGN)
            sigaction(signalNumber, &stop, nullptr);
    }
}

void osStopAsRequested()
{
    const int signalNumber = int(stopRequest);
    signal(signalNumber, SIG_DFL);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, signalNumber);
    sigprocmask(SIG_UNBLOCK, &only, nullptr);
    raise(signalNumber);
    _exit(128 + signalNumber);
}

osFile osStandardInput()
{
    return 0;
}

int osProcessId()
{
    return int(getpid());
}

// An interrupted call is made again, unless the interruption was a request to stop.
static bool again()
{
    return errno == EINTR && stopRequest == 0;
}

// A call's result, or an interruption where the fault sweep asks for one.
static int interruptedOr(int result)
{
    if (takeFault(interruptFault)) {
        errno = EINTR;
        return -1;
    }
    return result;
}

// ---- Files ----

// open(), made again when a signal interrupts it (a FIFO waits for its other end there);
// -1 with errno set when it fails.
static int openAgain(const char* name, int flags)
{
    int fd;
    do
        fd = interruptedOr(0) == 0 ? open(name, flags | O_CLOEXEC, 0666) : -1;
    while (fd < 0 && again());
    return fd;
}

int osOpenForReading(const char* name, osFile* file)
{
    FAULT_POINT("open", name, injectedOpenError);
    int fd = openAgain(name, O_RDONLY);
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

int osCreateNew(const char* name, osFile* file)
{
    FAULT_POINT("create", name, injectedOpenError);
    int fd = openAgain(name, O_WRONLY | O_CREAT | O_EXCL);
    if (fd < 0)
        return errno;
    // The lock shows that a live process owns the file; it goes with the process. A file
    // system without locks loses only the removal of files killed runs left.
    (void)flock(fd, LOCK_EX | LOCK_NB);
    *file = fd;
    return 0;
}

int osOpenStreamForWriting(const char* name, osFile* file)
{
    FAULT_POINT("openStream", name, injectedOpenError);
    int fd = openAgain(name, O_WRONLY);
    if (fd < 0)
        return errno;
    *file = fd;
    return 0;
}

int osClose(osFile file)
{
    // The descriptor goes as it would with the system's error.
    FAULT_POINT("close", nullptr, (close(int(file)), injectedCloseError));
    // A close interrupted by a signal must not be retried on Linux: the descriptor is gone.
    if (close(int(file)) != 0 && errno != EINTR)
        return errno;
    return 0;
}

void osCloseAfterReading(osFile file)
{
    FAULT_POINT("closeRead", nullptr, (void)close(int(file)));
    close(int(file));
}

int osSync(osFile file)
{
    FAULT_POINT("sync", nullptr, injectedCloseError);
    int result;
    do
        result = interruptedOr(0) == 0 ? fsync(int(file)) : -1;
    while (result != 0 && again());
    return result == 0 ? 0 : errno;
}

int osRemoveFile(const char* name)
{
    FAULT_POINT("remove", name, injectedRemoveError);
    return unlink(name) == 0 ? 0 : errno;
}

int osRename(const char* from, const char* to)
{
    FAULT_POINT("rename", from, injectedRenameError);
    return rename(from, to) == 0 ? 0 : errno;
}

int osLink(const char* existing, const char* link)
{
    FAULT_POINT("link", link, EPERM);
    return ::link(existing, link) == 0 ? 0 : errno;
}

bool osNotFound(int error)
{
    return error == ENOENT;
}

const int osIsADirectory = EISDIR;

static int readSome(osFile file, void* buffer, std::size_t bytes, std::size_t* got)
{
    if (takeFault(shortFault) && bytes > 1)
        bytes /= 2;
    for (;;) {
        ssize_t n = interruptedOr(0) == 0 ? read(int(file), buffer, bytes) : -1;
        if (n >= 0) {
            *got = std::size_t(n);
            return 0;
        }
        if (!again()) {
            *got = 0;
            return errno;
        }
    }
}

static int writeSome(osFile file, const void* buffer, std::size_t bytes, std::size_t* put)
{
    if (takeFault(shortFault) && bytes > 1)
        bytes /= 2;
    for (;;) {
        ssize_t n = interruptedOr(0) == 0 ? write(int(file), buffer, bytes) : -1;
        if (n >= 0) {
            *put = std::size_t(n);
            return 0;
        }
        if (!again())
            return errno;
    }
}

static const int diskFullError = ENOSPC;

int osReadRows(osFile file, unsigned char* first, std::size_t rowBytes, std::size_t rowStride,
               std::size_t rowCount, std::size_t* got)
{
    *got = 0;
    FAULT_POINT("read", nullptr, injectedReadError);
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
        if (takeFault(shortFault))
            n = 1;   // as a reader gets from a pipe that holds less
        ssize_t in = interruptedOr(0) == 0 ? readv(int(file), rows, int(n)) : -1;
        if (in < 0) {
            if (again())
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

int osKindOfFile(const char* name, osFileKind* kind)
{
    FAULT_POINT("kind", name, injectedQueryError);
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

int osMayWrite(const char* name)
{
    FAULT_POINT("mayWrite", name, injectedQueryError);
    struct stat st;
    if (stat(name, &st) != 0)
        return errno;
    // Replacing a file in a directory takes writing and searching it.
    return access(name, S_ISDIR(st.st_mode) ? W_OK | X_OK : W_OK) == 0 ? 0 : errno;
}

std::string osFollowLinks(const char* name)
{
    FAULT_POINT("followLinks", name, name);
    struct stat st;
    if (lstat(name, &st) != 0 || !S_ISLNK(st.st_mode))
        return name;
    char* target = realpath(name, nullptr);
    if (target == nullptr)
        return name;
    std::string followed = target;
    free(target);
    return followed;
}

bool osRegularFileSize(osFile file, std::int64_t* size)
{
    FAULT_POINT("size", nullptr, false);
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

bool osIdentifyFile(const char* name, osFileIdentity* identity)
{
    FAULT_POINT("identify", name, false);
    struct stat st;
    if (stat(name, &st) != 0)
        return false;
    identity->device = std::uint64_t(st.st_dev);
    identity->node = std::uint64_t(st.st_ino);
    return true;
}

bool osIdentifyOpenFile(osFile file, osFileIdentity* identity, bool* stream)
{
    FAULT_POINT("identifyOpen", nullptr, false);
    struct stat st;
    if (fstat(int(file), &st) != 0)
        return false;
    identity->device = std::uint64_t(st.st_dev);
    identity->node = std::uint64_t(st.st_ino);
    *stream = !S_ISREG(st.st_mode);
    return true;
}

// ---- Directories and names ----

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
const char* const osLineEnd = "\n";

bool osIsAbsolutePath(const char* name)
{
    return name[0] == '/';
}

std::size_t osDirectoryPartLength(const char* name)
{
    const char* last = std::strrchr(name, '/');
    return last == nullptr ? 0 : std::size_t(last - name) + 1;
}

int osLockDirectory(const std::string& directory, const std::string& lockName, osFile* lock)
{
    FAULT_POINT("lock", directory.c_str(), injectedOpenError);
    (void)lockName;
    int fd = openAgain(directory.empty() ? "." : directory.c_str(), O_RDONLY | O_DIRECTORY);
    if (fd < 0)
        return errno;
    int result;
    do
        result = interruptedOr(0) == 0 ? flock(fd, LOCK_EX) : -1;
    while (result != 0 && again());
    // A file system without locks lets concurrent runs in one directory race, as they would
    // without this; nothing else is lost.
    if (result != 0 && errno != ENOLCK && errno != EOPNOTSUPP && errno != EINVAL) {
        int error = errno;
        close(fd);
        return error;
    }
    *lock = fd;
    return 0;
}

void osUnlockDirectory(osFile lock)
{
    close(int(lock));
}

void osRemoveStaleFiles(const std::string& directory, const std::string& prefix)
{
    FAULT_POINT("removeStale", directory.c_str(), );
    DIR* folder = opendir(directory.empty() ? "." : directory.c_str());
    if (folder == nullptr)
        return;
    while (struct dirent* entry = readdir(folder)) {
        if (std::strncmp(entry->d_name, prefix.c_str(), prefix.size()) != 0)
            continue;
        const std::string name = directory + entry->d_name;
        // Whoever holds the lock is alive; a file nobody holds was left by a run that died.
        int fd = open(name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0)
            continue;
        struct stat st;
        if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && flock(fd, LOCK_EX | LOCK_NB) == 0)
            unlink(name.c_str());
        close(fd);
    }
    closedir(folder);
}

const char* osErrorText(int error)
{
    return std::strerror(error);
}

#endif

// ---- Written once over the primitives above ----

int osReadFull(osFile file, void* buffer, std::size_t bytes, std::size_t* got)
{
    *got = 0;
    FAULT_POINT("read", nullptr, injectedReadError);
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
    FAULT_POINT("write", nullptr, injectedWriteError);
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
    FAULT_POINT("currentDirectory", nullptr, injectedCurrentDirectoryError);
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
