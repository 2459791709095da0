// The fault switch, linked only into the builds the fault sweep runs (mozaroCoreFaults):
// every call of the layer is counted and logged, and the one MOZARO_FAULT_AT names fails.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/faultSwitch.h"

#if defined(_WIN32)
#include "platform/windowsHeaders.h"
#else
#include <cerrno>
#endif

namespace {

// Calls come from several threads; a spin lock needs nothing from the thread library.
std::atomic_flag busy = ATOMIC_FLAG_INIT;

struct Held {
    Held()
    {
        while (busy.test_and_set(std::memory_order_acquire)) {
        }
    }
    ~Held() { busy.clear(std::memory_order_release); }
};

bool loaded = false;
long long failAt = 0, calls = 0;
osFaultKind kind = osHardFault;
std::FILE* log = nullptr;

// An interruption or short transfer still to come, for the thread whose call it was meant for.
thread_local osFaultKind pendingFault = osNoFault;

// Names of open files, for the log of calls made on them.
enum { namedFiles = 64 };
osFile fileOf[namedFiles];
std::string nameOf[namedFiles];

void load()
{
    loaded = true;
    if (const char* at = std::getenv("MOZARO_FAULT_AT"))
        failAt = std::atoll(at);
    if (const char* how = std::getenv("MOZARO_FAULT_KIND"))
        kind = std::strcmp(how, "interrupt") == 0 ? osInterruptFault
               : std::strcmp(how, "short") == 0   ? osShortFault
                                                  : osHardFault;
    if (const char* path = std::getenv("MOZARO_FAULT_LOG"))
        log = std::fopen(path, "a");
    for (osFile& file : fileOf)
        file = osNoFile;
}

}  // namespace

osFaultKind osFaultAt(osCall call, const char* name)
{
    Held held;
    if (!loaded)
        load();
    calls++;
    if (log != nullptr) {
        std::fprintf(log, "%lld %s %s\n", calls, osCalls[call].name, name != nullptr && *name != '\0' ? name : "-");
        std::fflush(log);
    }
    pendingFault = calls == failAt && kind != osHardFault ? kind : osNoFault;
    return calls == failAt ? kind : osNoFault;
}

bool osTakeFault(osFaultKind wanted)
{
    if (pendingFault != wanted)
        return false;
    pendingFault = osNoFault;
    return true;
}

void osFaultNameFile(osFile file, const char* name)
{
    Held held;
    int free = -1;
    for (int k = 0; k < namedFiles; k++) {
        if (fileOf[k] == file) {   // a number the system gave again
            nameOf[k] = name;
            return;
        }
        if (free < 0 && fileOf[k] == osNoFile)
            free = k;
    }
    if (free >= 0) {
        fileOf[free] = file;
        nameOf[free] = name;
    }
}

const char* osFaultFileName(osFile file)
{
    Held held;
    for (int k = 0; k < namedFiles; k++)
        if (fileOf[k] == file)
            return nameOf[k].c_str();
    return nullptr;
}

int osInjectedError(osCall call)
{
    // What the system gives each kind of call.
#if defined(_WIN32)
    switch (call) {
    case osCall_read: return int(ERROR_READ_FAULT);
    case osCall_write: case osCall_reserve: return int(ERROR_DISK_FULL);
    case osCall_close: case osCall_sync: return int(ERROR_WRITE_FAULT);
    case osCall_rename: return int(ERROR_NOT_SAME_DEVICE);
    case osCall_currentDirectory: case osCall_list: return int(ERROR_PATH_NOT_FOUND);
    default: return int(ERROR_ACCESS_DENIED);
    }
#else
    switch (call) {
    case osCall_read: case osCall_close: case osCall_sync: return EIO;
    case osCall_write: case osCall_reserve: return ENOSPC;
    case osCall_rename: return EXDEV;
    case osCall_link: return EPERM;
    case osCall_currentDirectory: case osCall_list: return ENOENT;
    default: return EACCES;
    }
#endif
}
