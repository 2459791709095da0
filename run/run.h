// Run control: the command line and the run parameters, the panel grid and its input
// movies, the output name dialogue, the frame loop, and the run driver that calls
// everything in order.
#pragma once

#include <cstdint>
#include <cstdio>

#include <string>
#include <vector>

#include "frames/frames.h"
#include "geometry/runParameters.h"
#include "output/output.h"

// What a stage tells the driver: go on with the run, or stop it, either because the job is
// done as the user wanted (exit status 0) or because it cannot be done (exit status 1).
enum StageResult { stageGoOn, stageStopDone, stageStopFailed };

enum ProgressChoice { progressWhereWatched, progressAlways, progressNever };

// What a run does, chosen once from its command line: the three that stand alone, or a run
// over panels: a merge, its --check, a part of a job (--part), or the putting in place of a
// job's whole movie (--commit).
enum RunMode { modeHelp, modeVersion, modeDescribe, modeMerge, modeCheck, modePart, modeCommit };

// What the options before the six numbers ask for, and where the numbers and the file
// names start in the argument vector.
struct CommandLine {
    const char* outputName = nullptr;   // -o NAME / --output NAME: the movie's name, accepted
    bool acceptName = false;            // -y / --yes: the proposed name, accepted
    std::int32_t jobs = 0;              // -j N / --jobs N: worker threads; 0 for one per processor
    bool sync = false;                  // --sync: the movie on storage before it replaces anything
    bool check = false;                 // --check: every check of a run, then a summary; nothing made
    ProgressChoice progress = progressWhereWatched;   // --progress / --no-progress
    bool dropPartialFrame = false;      // --drop-partial-frame: a cut-short last frame is left out
    const char* partFile = nullptr;     // --part FILE: frames written into FILE at their place ...
    std::int64_t partAt = 0;            // --at K: ... from movie frame K on
    const char* commitFile = nullptr;   // --commit FILE: FILE, the whole movie, put in place
    RunMode mode = modeMerge;
    bool porcelain = false;             // --porcelain: key=value lines for programs on standard output
    bool topFirst = false;              // --top-first: the files name the top row first
    bool quiet = false;                 // --quiet: no "Finished Frame" lines
    int firstNumber = 1;                // argv[firstNumber] is ntx
    int firstFile = 0;                  // argv[firstFile] is the first panel's movie
};

// ---- Messages ----

// Every line goes out the moment it is printed, wherever standard output leads: a log in a
// file or a pipe shows how far a run got. A progress line on standard error, where one is
// shown, is cleared first and drawn again after.
// (MinGW's C++ runtime prints the way C99 says, as its printf checks do not assume.)
#if defined(__MINGW32__)
#define MOZARO_PRINTF_LIKE __attribute__((format(gnu_printf, 1, 2)))
#elif defined(__GNUC__)
#define MOZARO_PRINTF_LIKE __attribute__((format(printf, 1, 2)))
#else
#define MOZARO_PRINTF_LIKE
#endif
void say(const char* format, ...) MOZARO_PRINTF_LIKE;
// A line on standard error after "Mozaro: ", for what standard output has fixed lines for
// (the system's reason why an input could not be opened).
void complainOfInput(const char* format, ...) MOZARO_PRINTF_LIKE;
// 0, or the error of the first message standard output could not take.
int standardOutputError();

// For programs (--porcelain): the messages above go to standard error, and standard output
// holds only "key=value" lines, told here; `noteStop` names the kind of stop a run meets
// (the keys docs/stops.md lists), for the "stop=" line it ends with.
void sendMessagesToStandardError();
void tell(const char* key, const std::string& value);
void tell(const char* key, std::int64_t value);
void noteStop(const char* key);
const char* notedStop();

// Shown where a person watches (standard error a terminal, or asked for): frames done of
// all, percent, MB/s and time left, redrawn in place at most a few times a second.
void startProgress(bool shown, std::int64_t frames, std::int64_t bytesPerFrame);
void showProgress(std::int64_t framesDone);
void clearProgress();

// ---- Command line and run parameters ----

enum NumberParse { numberRead, numberMissing, numberTooLarge };

// Reads a decimal integer the way "%d" does: leading white space skipped, an optional sign,
// digits up to the first non-digit; what follows is ignored. Needs text non-null.
NumberParse parseDecimal(const char* text, std::int32_t* value);

// modeHelp, modeVersion or modeDescribe where the command line is one of those alone
// (--help, --version, --describe MOVIE.mg), else modeMerge: the options tell the rest.
RunMode aloneMode(int argc, char** argv);
// The help: the usage text, then the options; the version: "Mozaro <version>".
void printHelp();
void printVersion();

// Reads the options (and so the run's mode), parses and echoes the six numbers, checks the
// file count, the limits and the file names. Prints the usage text or the reason before it
// returns a stop.
StageResult parseRunParameters(int argc, char** argv, RunParameters* runParameters, CommandLine* commandLine);

// computeSizes, then the resolution line.
void deriveSizes(RunParameters* runParameters);

// --describe MOVIE.mg, as the only arguments: the path, width, height and frame count the
// descriptor gives, one to a line on standard output, so that a script can read a path that
// holds blanks (a stop, done); a file that is no descriptor line is named with what is wrong
// on standard error (a stop, failed).
StageResult describeMovie(const char* descriptorName);

// ---- Panel grid and input movies ----

// The panels' movies. Panel row i (0 = bottom) and column j (0 = left) is entry i * ntx + j
// of both tables, the k-th file name of the command line.
struct PanelGrid {
    char** panelNames;                   // the command line's names, in grid order
    const char* firstNamed;              // the first name on the command line
    std::vector<char*> reordered;        // the names in grid order where the files name the top row first
    std::vector<PanelMovie> panelFiles;  // open from openPanelMovies to closePanelMovies
    std::int64_t fewestFrames;           // whole frames in the regular files, once opened
    std::int64_t mostFrames;
};

// Needs the names checked by parseRunParameters. With --top-first the names are put in grid
// order (bottom row first), as every other part of the run takes them.
void fillPanelNames(char** argv, const RunParameters& runParameters, const CommandLine& commandLine, PanelGrid* grid);
void listPanelLayout(const RunParameters& runParameters, const PanelGrid& grid);

// Opens every input movie in grid order and checks them: a regular file must hold a whole
// number of frames (unless the last may be cut short), at least as many as the run reads;
// a pipe or device may feed one panel only. Prints the reason before it returns a stop
// (nothing when the process was asked to stop); files already open stay open for
// closePanelMovies.
StageResult openPanelMovies(const RunParameters& runParameters, bool dropPartialFrame, PanelGrid* grid);
void closePanelMovies(PanelGrid* grid);
// The identities of the panels' regular files: the output's clean-up leaves them alone.
std::vector<osFileIdentity> panelIdentities(const RunParameters& runParameters, const PanelGrid& grid);
// Whether any panel is a pipe, FIFO or device, read in order.
bool anyPanelIsAStream(const PanelGrid& grid);

// ---- Output name dialogue ----


// Room for "B_" and a first file name of 255 bytes, though only names of up to
// maxMovieNameBytes can be accepted.
constexpr int movieNameCapacity = 2 + maxPanelNameBytes + 1;

// The name proposed for the movie: "B_" before the last part of the first panel's name, in
// that panel's folder (B_a00 for a00, renders/B_a00 for renders/a00).
void proposeMovieName(const char* firstName, char movieName[movieNameCapacity]);

// Proposes the default name and reads answers from `answers` (standard input in a run)
// until the user accepts a usable name (go on, with it in movieName), declines (stop, done),
// the input ends or 100 answers brought neither (stop, failed). With -o or -y on the command
// line the name is accepted without a question, or the run stops where it would be asked
// again.
StageResult confirmMovieName(const PanelGrid& grid, std::int32_t panels, const CommandLine& commandLine,
                             osFile answers, char movieName[movieNameCapacity]);

// ---- Frame loop ----

// Merges frames 0 .. nf - 1 of the run from `panels` into `sink` with `workers` threads (the
// calling thread alone for 1, or for a sink fed in order), one set of buffers each, printing
// "Finished Frame" lines (where `frameLines`) in frame order, each once its frame and every
// frame before it are wholly written and the sink has heard that they are finished.
struct FrameLoopResult {
    StreamResult stream;   // streamGoesOn, or why frame `frame` could not be merged
    std::int64_t frame;    // the panels' frame number of the failure
};
FrameLoopResult runFrameLoop(const RunParameters& runParameters, const PanelMovie* panels, const FrameSink& sink,
                             FrameBuffers* buffers, std::int32_t workers, bool frameLines);

// The output movie as a frame sink: each frame at its place in the file (a part's frames
// from its first movie frame on), or in order where the movie is written in place.
struct MovieFrames {
    OutputMovie* movie;
    std::int64_t frameBytes;
};
FrameSink movieFrameSink(MovieFrames* frames);

// ---- Run driver ----

// Runs the whole job once; returns the process's exit status.
int runDriver(int argc, char** argv);
