// The calls of the operating-system layer, by name, with what can go wrong with each: the
// fault switch counts them and makes one fail, and the fault sweep reads its log by these
// names. Only builds for the sweep have the switch (the mozaroCoreFaults library).
#pragma once

#include "platform/files.h"

enum osCallTraits {
    callPlain = 0,
    callInterruptible = 1,   // a signal can interrupt it (a FIFO's open, a slow transfer)
    callTransfers = 2,       // it moves bytes, and may move fewer than asked
    callOptional = 4,        // the run may go on without it, its result unchanged
};

#define OS_LAYER_CALLS(X)                                                                                   \
    X(open, callInterruptible)                                                                              \
    X(openOwn, callOptional)                                                                                \
    X(create, callInterruptible)                                                                            \
    X(openForWriting, callInterruptible)                                                                    \
    X(close, callPlain)                                                                                     \
    X(closeRead, callOptional)                                                                              \
    X(sync, callInterruptible)                                                                              \
    X(remove, callPlain)                                                                                    \
    X(rename, callPlain)                                                                                    \
    X(link, callOptional)                                                                                   \
    X(read, callInterruptible | callTransfers)                                                              \
    X(write, callInterruptible | callTransfers)                                                             \
    X(size, callOptional)                                                                                   \
    X(reserve, callPlain)                                                                                   \
    X(lockOpenFile, callPlain)                                                                              \
    X(identifyOpen, callOptional)                                                                           \
    X(currentDirectory, callPlain)                                                                          \
    X(kind, callPlain)                                                                                      \
    X(mayWrite, callPlain)                                                                                  \
    X(mayReplace, callPlain)                                                                                \
    X(followLinks, callPlain)                                                                               \
    X(identify, callOptional)                                                                               \
    X(list, callOptional)                                                                                   \
    X(removeUnheld, callOptional)                                                                           \
    X(lookAt, callOptional)                                                                                 \
    X(lock, callInterruptible)                                                                              \
    X(freeSpace, callOptional)

enum osCall {
#define OS_CALL_ENUMERATOR(name, traits) osCall_##name,
    OS_LAYER_CALLS(OS_CALL_ENUMERATOR)
#undef OS_CALL_ENUMERATOR
        osCallCount
};

struct osCallInfo {
    const char* name;
    int traits;
};

inline constexpr osCallInfo osCalls[osCallCount] = {
#define OS_CALL_INFO(name, traits) {#name, traits},
    OS_LAYER_CALLS(OS_CALL_INFO)
#undef OS_CALL_INFO
};

// ---- The switch (platform/faultSwitch.cpp) ----
// MOZARO_FAULT_LOG names a file that gets one line per call ("N call name"); with
// MOZARO_FAULT_AT=N the Nth call fails, as MOZARO_FAULT_KIND says: "error" (the default)
// returns the error the system gives such a call, "interrupt" interrupts its first attempt
// as a signal would, "short" halves its first transfer.

enum osFaultKind { osNoFault, osHardFault, osInterruptFault, osShortFault };

// Counts and logs a call; what it must meet.
osFaultKind osFaultAt(osCall call, const char* name);
// True once, on the thread of the call the fault was meant for, for its first attempt.
bool osTakeFault(osFaultKind kind);
// The name a file was opened or created under, for the log of later calls on it.
void osFaultNameFile(osFile file, const char* name);
const char* osFaultFileName(osFile file);
// The error the system gives such a call.
int osInjectedError(osCall call);
