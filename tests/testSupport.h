// Shared by the tests: scratch folders, files, running the built tool and other programs, FIFOs
// fed in pieces, and the tool's fixed texts.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "movieModel.h"

// A fresh empty folder for one case; its parent holds the case's standard input and output,
// so that the folder itself shows only what the tool left behind. Removed with everything in
// it when the test ends, unless the test failed: then its path is printed, for a look.
// MOZARO_KEEP_SCRATCH=1 in the environment keeps every one.
std::string makeScratchFolder();
// Removes a scratch folder (and its parent) at once, for a test that makes many.
void removeScratchFolder(const std::string& folder);

void writeBytes(const std::string& path, const Bytes& bytes);
void writeText(const std::string& path, const std::string& text);
Bytes readBytes(const std::string& path);
std::string readText(const std::string& path);
bool fileExists(const std::string& path);
// Names in a folder, sorted, without . and ..
std::vector<std::string> listFolder(const std::string& folder);
// Every name in a folder with the bytes of its file (a marker for anything else).
std::map<std::string, Bytes> folderContents(const std::string& folder);

struct RunOutcome {
    int status;        // exit status, or 128 + signal number
    std::string out;   // everything written to standard output
    std::string err;   // everything written to standard error
};
typedef RunOutcome ToolOutcome;

// Resource limits of a child process (0 leaves a limit as it is), whether it starts with
// standard output closed, and how long a run of Mozaro may take before it is killed.
struct ChildLimits {
    unsigned long long addressSpaceBytes = 0;
    unsigned long long openFilesSoft = 0, openFilesHard = 0;
    unsigned long long fileSizeBytes = 0;
    bool fileSizeSignalIgnored = false;   // a write past the limit fails instead of killing
    bool closeOutput = false;
    unsigned userId = 0;                  // runs as this user (and group) where not 0: needs root
    const std::vector<std::string>* environment = nullptr;   // NAME=value, all of it, where given
    int seconds = 120;                    // a case that expects a quick refusal gives a few
};

// A child started in the background.
struct StartedRun {
    int pid;
    std::string outputPath, errorPath;
};

// Starts `command` (a path, or a name on PATH, then its arguments) in `folder`, standard
// input, output and error from and to the given files. Every program the tests run starts here.
StartedRun startChild(const std::string& folder, const std::vector<std::string>& command, const std::string& inputPath,
                      const std::string& outputPath, const std::string& errorPath, const ChildLimits& limits);
// Waits for a child; one still running after `seconds` is killed (status 128 + 9), so that a
// hang fails its case and not the whole suite.
RunOutcome waitForChild(const StartedRun& run, int seconds = 120);

// Mozaro, as MOZARO_BINARY names it (the build's own by default) under MOZARO_LAUNCHER where
// that is set, in `folder` with `args`; standard error goes to outputPath + ".err".
StartedRun startMozaro(const std::string& folder, const std::vector<std::string>& args, const std::string& inputPath,
                       const std::string& outputPath, const ChildLimits& limits = ChildLimits{});
RunOutcome waitForMozaro(const StartedRun& run);
// The command that starts Mozaro with `args`: the launcher's words, the binary, the arguments.
std::vector<std::string> mozaroCommand(const std::vector<std::string>& args);
// Runs Mozaro with `input` on standard input.
RunOutcome runMozaro(const std::string& folder, const std::vector<std::string>& args, const std::string& input,
                     const ChildLimits& limits = ChildLimits{});
// Like runMozaro, with standard input and output left to the caller-made files.
RunOutcome runMozaroWithFiles(const std::string& folder, const std::vector<std::string>& args,
                              const std::string& inputPath, const std::string& outputPath,
                              const ChildLimits& limits = ChildLimits{});

// Runs a companion program, args[0] a path or a name on PATH, in `folder` with nothing on
// standard input. A nonzero fileLimit caps the size of any file it writes.
ToolOutcome runTool(const std::string& folder, std::vector<std::string> args, unsigned long fileLimit = 0);
// The same, started in the background, for a case that signals it; waitForMozaro collects it.
StartedRun startTool(const std::string& folder, std::vector<std::string> args, unsigned long fileLimit = 0);

// A FIFO that the test makes and holds open for reading and writing from before the tool
// starts, so that neither side's open waits and nothing it buffered is lost, and feeds from a
// thread: `piece` bytes at a time (at most 64 KiB, what a pipe holds), each once the reader
// has taken the one before, so that reads meet a pipe holding part of a frame. After
// `stallAt` bytes the feeding waits, the FIFO open, until the test releases it (or the feed
// ends); after the last byte it is closed and the reader meets the end of the stream.
struct PipeFeed {
    int fd = -1;
    std::atomic<bool> released{false};
    std::thread feeder;
    ~PipeFeed();   // releases the feed and waits for it
};
void startPipeFeed(PipeFeed* feed, const std::string& path, const Bytes& bytes, std::size_t piece,
                   std::size_t stallAt = SIZE_MAX);
// Releases a stalled feed and waits until it has closed the FIFO.
void finishPipeFeed(PipeFeed* feed);

Bytes randomBytes(std::size_t count, std::mt19937& rng);
// Random panel movies for a grid.
MovieGrid randomGrid(std::mt19937& rng, int ntx, int nty, int nx, int ny, int nf, int nBlend);
// The six numbers of a grid followed by `names`.
std::vector<std::string> gridArgs(const MovieGrid& grid, const std::vector<std::string>& names);
// `names` followed by f<k> for every panel k it leaves out.
std::vector<std::string> panelNames(const MovieGrid& grid, std::vector<std::string> names = {});
// Writes the grid's panels under `names` (f0, f1, ... by default) in `folder` and returns the
// command line for them.
std::vector<std::string> writeGrid(const std::string& folder, const MovieGrid& grid,
                                   std::vector<std::string> names = {});

// The eight lines of the usage text.
extern const std::string usageLines;
// The five lines of the output name question.
std::string questionText(const std::string& name);
// The progress lines of frames 0 to nf - 1.
std::string progressText(int nf);
// The echo of the six numbers.
std::string echoText(int ntx, int nty, int nx, int ny, int nf, int nBlend);
// What a run of `grid` prints before the movie's name: the echo, the layout of `names` (f0,
// f1, ... by default) top row first, and the resolution.
std::string layoutText(const MovieGrid& grid, std::vector<std::string> names = {});
// Everything up to the first answer: layoutText and the question for `movie`.
std::string runStart(const MovieGrid& grid, const std::string& movie = "B_f0", std::vector<std::string> names = {});

// The 16 hex digits every temporary file of the file `name` holds (the last part of its
// name): the 64-bit FNV-1a hash.
std::string hashOfName(const std::string& name);
