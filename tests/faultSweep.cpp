#include "faultSweep.h"

#include "platform/faultSwitch.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct LayerCall {
    std::string call;
    std::string name;
};

std::vector<LayerCall> readLog(const std::string& path)
{
    std::vector<LayerCall> calls;
    std::ifstream log(path);
    std::string line;
    while (std::getline(log, line)) {
        std::istringstream words(line);
        long long n;
        LayerCall call;
        words >> n >> call.call;
        std::getline(words >> std::ws, call.name);
        if (!call.name.empty() && call.name.back() == '\r')   // written in text mode on Windows
            call.name.pop_back();
        calls.push_back(call);
    }
    return calls;
}

// What the layer's table says of a call; plain for a name it does not know.
int traitsOf(const std::string& call)
{
    for (const osCallInfo& info : osCalls)
        if (call == info.name)
            return info.traits;
    return callPlain;
}

// Calls whose failure the tool may pass over by design, its result unchanged: questions
// about a file asked only to warn or to take a shortcut, the clean-up of what a dead run
// left, the second name that keeps an earlier movie safe where the file system has none,
// and the close of a file only read from.
bool passedOver(const std::string& call)
{
    return (traitsOf(call) & callOptional) != 0;
}

// Which calls a kind of failure applies to.
bool applies(const std::string& kind, const std::string& call)
{
    if (kind == "short")
        return (traitsOf(call) & callTransfers) != 0;
    if (kind == "interrupt")
        return (traitsOf(call) & callInterruptible) != 0;
    return true;
}

struct Prepared {
    std::string folder;
    std::vector<std::string> args;
    int inputFifo = -1;    // the test's hold on a FIFO panel, filled before the run
    int outputFifo = -1;   // the test's hold on a FIFO movie, drained after it
    std::map<std::string, Bytes> before;
};

// A FIFO the test holds open for reading and writing, so that the tool's open never waits
// and what it writes stays in the FIFO's buffer (the scenario keeps it within 64 KiB).
int heldFifo(const std::string& path)
{
    if (mkfifo(path.c_str(), 0666) != 0)
        return -1;
    return open(path.c_str(), O_RDWR | O_NONBLOCK);
}

Prepared prepare(const SweepScenario& s)
{
    Prepared p;
    p.folder = makeScratchFolder();
    std::vector<std::string> names;
    for (std::size_t k = 0; k < s.grid.panels.size(); k++) {
        const std::string name = "f" + std::to_string(k);
        names.push_back(name);
        if (int(k) != s.fifoPanel) {
            writeBytes(p.folder + "/" + name, s.grid.panels[k]);
            continue;
        }
        p.inputFifo = heldFifo(p.folder + "/" + name);
        const Bytes& bytes = s.grid.panels[k];
        if (p.inputFifo < 0 || write(p.inputFifo, bytes.data(), bytes.size()) != ssize_t(bytes.size()))
            throw std::runtime_error("cannot fill the FIFO panel");
    }
    if (s.earlierMovie) {
        writeBytes(p.folder + "/" + s.movie, Bytes(50, 7));
        writeText(p.folder + "/" + s.movie + ".mg", "localhost  earlier 1 1 1" + testSystem().lineEnd);
    }
    if (s.fifoOutput)
        p.outputFifo = heldFifo(p.folder + "/" + s.movie);
    p.before = folderContents(p.folder);
    p.args = s.options;
    for (const std::string& word : gridArgs(s.grid, names))
        p.args.push_back(word);
    return p;
}

Bytes drain(int fd)
{
    Bytes bytes;
    unsigned char piece[4096];
    for (ssize_t n; (n = read(fd, piece, sizeof piece)) > 0;)
        bytes.insert(bytes.end(), piece, piece + n);
    return bytes;
}

bool endsWith(const std::string& text, const std::string& end)
{
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// Whether every rename of a new movie into place follows a sync of that file.
bool syncedBeforeRename(const std::vector<LayerCall>& calls)
{
    bool renamed = false;
    for (std::size_t k = 0; k < calls.size(); k++) {
        if (calls[k].call != osCalls[osCall_rename].name || calls[k].name.find("-new-") == std::string::npos)
            continue;
        renamed = true;
        bool synced = false;
        for (std::size_t j = 0; j < k; j++)
            synced = synced || (calls[j].call == osCalls[osCall_sync].name && calls[j].name == calls[k].name);
        if (!synced)
            return false;
    }
    return renamed;
}

// Runs the scenario with call `at` failing (0: none), returns the layer calls it made, and
// adds what it did wrong to `violations`.
std::vector<LayerCall> runOnce(const SweepScenario& s, const std::string& kind, int at, const Bytes& movie,
                               std::vector<std::string>* violations)
{
    Prepared p = prepare(s);
    const std::string parent = p.folder.substr(0, p.folder.rfind('/'));
    const std::string logPath = parent + "/calls";
    setenv("MOZARO_FAULT_AT", std::to_string(at).c_str(), 1);
    setenv("MOZARO_FAULT_KIND", kind.c_str(), 1);
    setenv("MOZARO_FAULT_LOG", logPath.c_str(), 1);
    RunOutcome run = runMozaro(p.folder, p.args, s.input);
    unsetenv("MOZARO_FAULT_AT");
    unsetenv("MOZARO_FAULT_KIND");
    unsetenv("MOZARO_FAULT_LOG");
    const std::vector<LayerCall> calls = readLog(logPath);
    const Bytes delivered = p.outputFifo >= 0 ? drain(p.outputFifo) : Bytes();
    if (p.inputFifo >= 0)
        close(p.inputFifo);
    if (p.outputFifo >= 0)
        close(p.outputFifo);

    const LayerCall failed = at >= 1 && at <= int(calls.size()) ? calls[std::size_t(at - 1)] : LayerCall{"none", ""};
    std::map<std::string, Bytes> after = folderContents(p.folder);
    // The one file a failed removal may leave: a temporary file the next run removes.
    const std::string base = failed.name.substr(failed.name.find_last_of("/\\") + 1);
    if (failed.call == osCalls[osCall_remove].name && base.rfind(".mozaro-", 0) == 0)
        after.erase(base);
    std::map<std::string, Bytes> replaced = p.before;
    if (!s.fifoOutput)
        replaced[s.movie] = movie;
    replaced[s.movie + ".mg"] = Bytes();
    const std::string descriptor = descriptorOf(p.folder, s.movie, s.grid);
    replaced[s.movie + ".mg"] = Bytes(descriptor.begin(), descriptor.end());
    const bool intact = after == p.before;
    const bool complete = after == replaced && (!s.fifoOutput || delivered == movie);

    // Closing a file the run has just removed (a commit file, held until then) loses nothing.
    const bool closedRemoved = failed.call == osCalls[osCall_close].name && at >= 2 &&
                               calls[std::size_t(at - 2)].call == osCalls[osCall_remove].name &&
                               calls[std::size_t(at - 2)].name == failed.name;
    std::string wrong;
    if (run.status == 0) {
        if (!complete)
            wrong = "status 0 without the whole new movie and descriptor in place";
        else if (kind == "error" && failed.call != "none" && !passedOver(failed.call) && !closedRemoved &&
                 failed.call != osCalls[osCall_remove].name)
            wrong = "status 0 although the call failed";
    } else if (run.status == 1) {
        const std::string& lineEnd = testSystem().lineEnd;
        const std::string stopping = "Stopping" + lineEnd;
        if (!endsWith(run.out, stopping) || run.out.size() <= stopping.size() ||
            endsWith(run.out.substr(0, run.out.size() - stopping.size()), lineEnd + lineEnd))
            wrong = "status 1 without a message and Stopping last";
        else if (!intact && !complete)
            wrong = "the earlier movie and descriptor neither kept nor replaced whole";
    } else {
        wrong = "ended with status " + std::to_string(run.status) + " (crash, sanitizer report or hang)";
    }
    if (s.syncs && at == 0 && !syncedBeforeRename(calls))
        wrong += (wrong.empty() ? "" : "; ") + std::string("the new movie was not on storage before its rename");
    if (run.err.find("Sanitizer") != std::string::npos || run.err.find("runtime error") != std::string::npos)
        wrong += (wrong.empty() ? "" : "; ") + std::string("a sanitizer report");
    if (!wrong.empty()) {
        std::ostringstream line;
        line << s.what << ", " << kind << " at call " << at << " (" << failed.call << " " << failed.name
             << "): " << wrong << "; folder " << p.folder << "; output ends: "
             << run.out.substr(run.out.size() > 120 ? run.out.size() - 120 : 0);
        violations->push_back(line.str());
    } else {
        removeScratchFolder(p.folder);   // only the runs that went wrong are kept for a look
    }
    return calls;
}

}  // namespace

SweepReport sweepFaults(const SweepScenario& s, const std::string& kind)
{
    SweepReport report{0, 0, {}};
    const Bytes movie = modelMovie(s.grid);
    const std::vector<LayerCall> calls = runOnce(s, kind, 0, movie, &report.violations);
    report.calls = int(calls.size());
    // A run may make a few more calls than the clean one (a pipe read in more pieces).
    for (int at = 1; at <= report.calls + 2; at++) {
        if (at <= report.calls && !applies(kind, calls[std::size_t(at - 1)].call))
            continue;
        runOnce(s, kind, at, movie, &report.violations);
        report.runs++;
    }
    return report;
}

void sweepAndReport(const SweepScenario& s, const std::vector<std::string>& kinds)
{
    int runs = 0;
    std::size_t violations = 0;
    for (const std::string& kind : kinds) {
        SweepReport report = sweepFaults(s, kind);
        ASSERT_GT(report.calls, 0) << "the tool was built without the fault switch";
        runs += report.runs;
        violations += report.violations.size();
        std::printf("fault sweep: %s, %s: %d layer calls, %d injected failures, %zu violations\n", s.what,
                    kind.c_str(), report.calls, report.runs, report.violations.size());
        for (const std::string& violation : report.violations)
            ADD_FAILURE() << violation;
    }
    std::printf("fault sweep: %s: %d injected failures tried in all\n", s.what, runs);
    std::fflush(stdout);
    if (const char* path = std::getenv("MOZARO_SWEEP_REPORT")) {
        std::FILE* report = std::fopen(path, "a");
        if (report != nullptr) {
            std::fprintf(report, "%d %zu %s\n", runs, violations, s.what);
            std::fclose(report);
        }
    }
}
