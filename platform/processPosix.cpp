// The process on POSIX systems: signals, the temporary-file registry, threads.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <initializer_list>
#include <new>

#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include "platform/process.h"
#include "platform/systemCalls.h"

// The request to stop, set by the signal handler.
static volatile std::sig_atomic_t stopRequest = 0;


int osStopRequested()
{
    return int(stopRequest);
}

static void unlinkName(const char* name)
{
    unlink(name);
}

static void onStopSignal(int signalNumber)
{
    if (stopRequest != 0) {
        // Asked twice: the run may be blocked where it cannot see the first request.
        int saved = errno;
        removeRememberedFiles(unlinkName);
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
    pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
    raise(signalNumber);
    _exit(128 + signalNumber);
}

const int osEndOfInputByte = -1;

int osWriteStandardOutput(const char* text, std::size_t bytes)
{
    errno = 0;
    if (std::fwrite(text, 1, bytes, stdout) == bytes && std::fflush(stdout) == 0)
        return 0;
    return errno != 0 ? errno : EIO;
}

osFile osStandardInput()
{
    return 0;
}

osFile osStandardOutput()
{
    return 1;
}

int osProcessId()
{
    return int(getpid());
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

int osProcessorCount()
{
#if defined(__linux__)
    cpu_set_t allowed;
    if (sched_getaffinity(0, sizeof allowed, &allowed) == 0 && CPU_COUNT(&allowed) > 0)
        return CPU_COUNT(&allowed);
#endif
    const long online = sysconf(_SC_NPROCESSORS_ONLN);
    return online > 0 ? int(online) : 1;
}

void osSleepMilliseconds(int milliseconds)
{
    struct timespec wait = {milliseconds / 1000, long(milliseconds % 1000) * 1000000L};
    while (nanosleep(&wait, &wait) != 0 && errno == EINTR && stopRequest == 0) {
    }
}

std::int64_t osClockMilliseconds()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return std::int64_t(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

bool osStandardErrorIsTerminal()
{
    return isatty(2) != 0;
}

void osWriteStandardError(const char* text, std::size_t bytes)
{
    while (bytes > 0) {
        const ssize_t n = write(2, text, bytes);
        if (n <= 0 && !(n < 0 && errno == EINTR && stopRequest == 0))
            return;
        if (n > 0) {
            text += n;
            bytes -= std::size_t(n);
        }
    }
}

// ---- Threads ----

struct osThreadState {
    pthread_t thread;
    void (*work)(void*);
    void* argument;
};

static void* runThread(void* state)
{
    osThreadState* s = static_cast<osThreadState*>(state);
    s->work(s->argument);
    return nullptr;
}

int osStartThread(void (*work)(void* argument), void* argument, osThread* thread)
{
    osThreadState* state = new (std::nothrow) osThreadState{pthread_t(), work, argument};
    if (state == nullptr)
        return ENOMEM;
    // Signals are for the main thread, which waits where it can see them at once.
    sigset_t all, before;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &before);
    const int error = pthread_create(&state->thread, nullptr, runThread, state);
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    if (error != 0) {
        delete state;
        return error;
    }
    *thread = state;
    return 0;
}

void osJoinThread(osThread thread)
{
    pthread_join(thread->thread, nullptr);
    delete thread;
}

struct osMonitorState {
    pthread_mutex_t mutex;
    pthread_cond_t condition;
};

osMonitor osCreateMonitor()
{
    osMonitorState* monitor = new (std::nothrow) osMonitorState;
    if (monitor == nullptr)
        return nullptr;
    pthread_condattr_t attributes;
    pthread_condattr_init(&attributes);
#if !defined(__APPLE__)
    pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
#endif
    if (pthread_mutex_init(&monitor->mutex, nullptr) != 0 ||
        pthread_cond_init(&monitor->condition, &attributes) != 0) {
        delete monitor;
        monitor = nullptr;
    }
    pthread_condattr_destroy(&attributes);
    return monitor;
}

void osDestroyMonitor(osMonitor monitor)
{
    if (monitor == nullptr)
        return;
    pthread_cond_destroy(&monitor->condition);
    pthread_mutex_destroy(&monitor->mutex);
    delete monitor;
}

void osEnterMonitor(osMonitor monitor)
{
    pthread_mutex_lock(&monitor->mutex);
}

void osLeaveMonitor(osMonitor monitor)
{
    pthread_mutex_unlock(&monitor->mutex);
}

void osWaitInMonitor(osMonitor monitor, int milliseconds)
{
    struct timespec until;
#if defined(__APPLE__)
    clock_gettime(CLOCK_REALTIME, &until);
#else
    clock_gettime(CLOCK_MONOTONIC, &until);
#endif
    until.tv_sec += milliseconds / 1000;
    until.tv_nsec += long(milliseconds % 1000) * 1000000L;
    if (until.tv_nsec >= 1000000000L) {
        until.tv_sec++;
        until.tv_nsec -= 1000000000L;
    }
    pthread_cond_timedwait(&monitor->condition, &monitor->mutex, &until);
}

void osWakeAllInMonitor(osMonitor monitor)
{
    pthread_cond_broadcast(&monitor->condition);
}
