// The process: its signals and the request to stop, the temporary files a second request
// removes, standard input, its processors and threads. POSIX and Windows halves:
// processPosix.cpp, processWindows.cpp.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/files.h"

// Makes the process safe to run. Any of standard input, output and error that is closed is
// opened on the null device, so that no file of the run can take its number (*outputWasClosed
// tells whether standard output was). Writing to a pipe whose reader has gone, or past a
// file-size limit, becomes an ordinary write error. An interrupt, a termination request or a
// hang-up (Ctrl-C, Ctrl-Break, a closed console) only asks the run to stop: reads and writes
// it blocks in return with an error, and osStopRequested says so; asked a second time, the
// process removes its remembered temporary files and ends at once.
void osPrepareProcess(bool* outputWasClosed);

// The pending request to stop, or 0.
int osStopRequested();

// Ends the process the way the request to stop would have ended it (by the signal on POSIX,
// so that the exit status says which).
[[noreturn]] void osStopAsRequested();

// Temporary files that a second request to stop removes on its own, in case the run cannot
// clean up: remembered by name, forgotten by the entry that remembering gave (-1 when the
// registry is full or the name too long; forgetting -1 does nothing).
int osRememberTemporaryFile(const char* name);
void osForgetTemporaryFile(int entry);

// Writes a message to standard output at once: to a Windows console as the characters its
// UTF-8 stands for, elsewhere as it is (with CR LF line ends on Windows). 0, or the error
// standard output gave.
int osWriteStandardOutput(const char* text, std::size_t bytes);

// The byte that, at the start of a line, ends what is typed on standard input (Ctrl-Z on
// Windows), or -1 where there is none.
extern const int osEndOfInputByte;

#if defined(_WIN32)
// The arguments as Windows passes them, UTF-16, in UTF-8 like every name inside the program;
// kept for the whole run.
char** osUtf8Arguments(int argc, wchar_t** argv);
#endif

osFile osStandardInput();
osFile osStandardOutput();
int osProcessId();

// Lets the process keep as many files open as the system allows it.
void osRaiseOpenFileLimit();

// The processors this process may run on, at least 1.
int osProcessorCount();

void osSleepMilliseconds(int milliseconds);
// A clock for measuring durations, in milliseconds from some start.
std::int64_t osClockMilliseconds();

// True where standard error (the progress line's place) is a terminal or console.
bool osStandardErrorIsTerminal();
// Writes text to standard error as it is; errors are ignored (a progress line is a courtesy).
void osWriteStandardError(const char* text, std::size_t bytes);

// ---- Threads ----

typedef struct osThreadState* osThread;
// Runs work(argument) on a new thread; 0 or the system's error.
int osStartThread(void (*work)(void* argument), void* argument, osThread* thread);
void osJoinThread(osThread thread);

// A lock with a condition: threads take it, change what it guards, and wake those waiting.
typedef struct osMonitorState* osMonitor;
// Null when it cannot be had.
osMonitor osCreateMonitor();
void osDestroyMonitor(osMonitor monitor);
void osEnterMonitor(osMonitor monitor);
void osLeaveMonitor(osMonitor monitor);
// Leaves the monitor until woken or `milliseconds` have gone by, then enters it again.
void osWaitInMonitor(osMonitor monitor, int milliseconds);
void osWakeAllInMonitor(osMonitor monitor);
