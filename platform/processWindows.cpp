// The process on Windows: console control events, the temporary-file registry, threads.
#include <csignal>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "platform/process.h"
#include "platform/systemCalls.h"
#include "platform/windowsHeaders.h"

// The request to stop, set by the console handler.
static volatile std::sig_atomic_t stopRequest = 0;


static HANDLE mainThread = nullptr;

int osStopRequested()
{
    return int(stopRequest);
}

static void deleteName(const char* name)
{
    // The run's temporary files are shared for deletion, so they go even while it holds
    // them: with its last handle, as the process ends.
    std::wstring wide;
    if (wideName(name, &wide) == 0)
        DeleteFileW(wide.c_str());
}

// Runs on a thread of its own. The main thread's blocking read or write is cancelled, so
// that it sees the request, cleans up and ends the process; for a closed console, which
// ends the process once this returns, it waits for that.
static BOOL WINAPI onConsoleControl(DWORD event)
{
    if (stopRequest != 0) {
        removeRememberedFiles(deleteName);
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

char** osUtf8Arguments(int argc, wchar_t** argv)
{
    static std::vector<std::string> texts;
    static std::vector<char*> arguments;
    texts.clear();
    for (int a = 0; a < argc; a++)
        texts.push_back(wideToUtf8(argv[a], wcslen(argv[a])));
    arguments.clear();
    for (std::string& text : texts)
        arguments.push_back(&text[0]);
    arguments.push_back(nullptr);
    return arguments.data();
}

const int osEndOfInputByte = 0x1A;   // Ctrl-Z

int osWriteStandardOutput(const char* text, std::size_t bytes)
{
    HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode;
    std::wstring wide;
    // A console shows characters: the UTF-8 goes to it as UTF-16, whatever its code page.
    if (GetConsoleMode(output, &mode) && utf8ToWide(text, bytes, &wide)) {
        for (std::size_t done = 0; done < wide.size();) {
            DWORD n = 0;
            const DWORD request = DWORD(wide.size() - done < 4096 ? wide.size() - done : 4096);
            if (!WriteConsoleW(output, wide.data() + done, request, &n, nullptr))
                return lastError();
            done += n;
        }
        return 0;
    }
    // Elsewhere the bytes, with the system's CR LF line ends, in pieces of a buffer on the stack.
    char piece[1024];
    std::size_t at = 0;
    while (at < bytes) {
        std::size_t n = 0;
        for (; at < bytes && n + 2 <= sizeof piece; at++) {
            if (text[at] == '\n')
                piece[n++] = '\r';
            piece[n++] = text[at];
        }
        for (std::size_t done = 0; done < n;) {
            DWORD put = 0;
            if (!WriteFile(output, piece + done, DWORD(n - done), &put, nullptr))
                return lastError();
            if (put == 0)
                return int(ERROR_DISK_FULL);
            done += put;
        }
    }
    return 0;
}

osFile osStandardInput()
{
    return reinterpret_cast<osFile>(GetStdHandle(STD_INPUT_HANDLE));
}

osFile osStandardOutput()
{
    return reinterpret_cast<osFile>(GetStdHandle(STD_OUTPUT_HANDLE));
}

int osProcessId()
{
    return int(GetCurrentProcessId());
}

void osRaiseOpenFileLimit()
{
    // Handles have no such small limit on Windows.
}

int osProcessorCount()
{
    DWORD_PTR process = 0, system = 0;
    int count = 0;
    if (GetProcessAffinityMask(GetCurrentProcess(), &process, &system))
        for (; process != 0; process &= process - 1)
            count++;
    if (count == 0) {
        SYSTEM_INFO information;
        GetSystemInfo(&information);
        count = int(information.dwNumberOfProcessors);
    }
    return count > 0 ? count : 1;
}

void osSleepMilliseconds(int milliseconds)
{
    Sleep(DWORD(milliseconds));
}

std::int64_t osClockMilliseconds()
{
    return std::int64_t(GetTickCount64());
}

bool osStandardErrorIsTerminal()
{
    DWORD mode;
    return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

void osWriteStandardError(const char* text, std::size_t bytes)
{
    DWORD written;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), text, DWORD(bytes), &written, nullptr);
}

// ---- Threads ----

struct osThreadState {
    HANDLE thread;
    void (*work)(void*);
    void* argument;
};

static DWORD WINAPI runThread(LPVOID state)
{
    osThreadState* s = static_cast<osThreadState*>(state);
    s->work(s->argument);
    return 0;
}

int osStartThread(void (*work)(void* argument), void* argument, osThread* thread)
{
    osThreadState* state = new (std::nothrow) osThreadState{nullptr, work, argument};
    if (state == nullptr)
        return int(ERROR_NOT_ENOUGH_MEMORY);
    state->thread = CreateThread(nullptr, 0, runThread, state, 0, nullptr);
    if (state->thread == nullptr) {
        const int error = lastError();
        delete state;
        return error;
    }
    *thread = state;
    return 0;
}

void osJoinThread(osThread thread)
{
    WaitForSingleObject(thread->thread, INFINITE);
    CloseHandle(thread->thread);
    delete thread;
}

struct osMonitorState {
    SRWLOCK lock;
    CONDITION_VARIABLE condition;
};

osMonitor osCreateMonitor()
{
    osMonitorState* monitor = new (std::nothrow) osMonitorState;
    if (monitor != nullptr) {
        InitializeSRWLock(&monitor->lock);
        InitializeConditionVariable(&monitor->condition);
    }
    return monitor;
}

void osDestroyMonitor(osMonitor monitor)
{
    delete monitor;
}

void osEnterMonitor(osMonitor monitor)
{
    AcquireSRWLockExclusive(&monitor->lock);
}

void osLeaveMonitor(osMonitor monitor)
{
    ReleaseSRWLockExclusive(&monitor->lock);
}

void osWaitInMonitor(osMonitor monitor, int milliseconds)
{
    SleepConditionVariableSRW(&monitor->condition, &monitor->lock, DWORD(milliseconds), 0);
}

void osWakeAllInMonitor(osMonitor monitor)
{
    WakeAllConditionVariable(&monitor->condition);
}
