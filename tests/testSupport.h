// Shared by the tests: scratch folders, files, running the built tool, and a plain per-pixel
// model of what a merged and blended movie must hold.
#pragma once

#include <cstdint>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "run/run.h"

#include "movieModel.h"

// A fresh empty folder for one case; its parent holds the case's standard input and output,
// so that the folder itself shows only what the tool left behind.
std::string makeScratchFolder();

void writeBytes(const std::string& path, const Bytes& bytes);
void writeText(const std::string& path, const std::string& text);
Bytes readBytes(const std::string& path);
std::string readText(const std::string& path);
bool fileExists(const std::string& path);
// Names in a folder, sorted, without . and ..
std::vector<std::string> listFolder(const std::string& folder);

struct RunOutcome {
    int status;        // exit status, or 128 + signal number
    std::string out;   // everything written to standard output
    std::string err;   // everything written to standard error
};

// Resource limits for the tool's process (0 leaves a limit as it is), and whether it starts
// with standard output closed.
struct ChildLimits {
    unsigned long long addressSpaceBytes;
    unsigned long long openFilesSoft, openFilesHard;
    unsigned long long fileSizeBytes;
    bool closeOutput;
};

// A run started in the background; standard error goes to outputPath + ".err".
struct StartedRun {
    int pid;
    std::string outputPath;
};
StartedRun startMozaro(const std::string& folder, const std::vector<std::string>& args, const std::string& inputPath,
                       const std::string& outputPath, const ChildLimits& limits = ChildLimits{});
RunOutcome waitForMozaro(const StartedRun& run);

// Every name in a folder with the bytes of its file (a marker for anything else).
std::map<std::string, Bytes> folderContents(const std::string& folder);

// Runs Mozaro in `folder` with `args` and `input` on standard input.
RunOutcome runMozaro(const std::string& folder, const std::vector<std::string>& args, const std::string& input,
                     const ChildLimits& limits = ChildLimits{});
// Like runMozaro, with standard input and output left to the caller-made files.
RunOutcome runMozaroWithFiles(const std::string& folder, const std::vector<std::string>& args,
                              const std::string& inputPath, const std::string& outputPath,
                              const ChildLimits& limits = ChildLimits{});

struct ToolOutcome {
    int status;        // exit status, or 128 + signal number
    std::string out;   // standard output
    std::string err;   // standard error
};
// Runs a companion program, args[0] a path or a name on PATH, in `folder` with nothing on
// standard input. A nonzero fileLimit caps the size of any file it writes.
ToolOutcome runTool(const std::string& folder, std::vector<std::string> args, unsigned long fileLimit = 0);
// The same, started in the background, for a case that signals it; waitForMozaro collects it.
StartedRun startTool(const std::string& folder, std::vector<std::string> args, unsigned long fileLimit = 0);

Bytes randomBytes(std::size_t count, std::mt19937& rng);


// Random panel movies for a grid.
MovieGrid randomGrid(std::mt19937& rng, int ntx, int nty, int nx, int ny, int nf, int nBlend);
// The six numbers of a grid followed by `names`.
std::vector<std::string> gridArgs(const MovieGrid& grid, const std::vector<std::string>& names);
// Writes the grid's panels as f0, f1, ... in `folder` and returns the command line for them.
std::vector<std::string> writeGrid(const std::string& folder, const MovieGrid& grid);

// The eight lines of the usage text.
extern const std::string usageLines;
// The five lines of the output name question.
std::string questionText(const std::string& name);
// The progress lines of frames 0 to nf - 1.
std::string progressText(int nf);
// The echo of the six numbers.
std::string echoText(int ntx, int nty, int nx, int ny, int nf, int nBlend);
