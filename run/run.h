// Run control: the command line and the run parameters, the panel grid and its input
// movies, the output name dialogue, and the run driver that calls everything in order.
#pragma once

#include <cstdint>
#include <cstdio>

#include <vector>

#include "platform/osFiles.h"
#include "run/runParameters.h"

// What a stage tells the driver: go on with the run, or stop it, either because the job is
// done as the user wanted (exit status 0) or because it cannot be done (exit status 1).
enum StageResult { stageGoOn, stageStopDone, stageStopFailed };

// What the options before the six numbers ask for, and where the numbers and the file
// names start in the argument vector.
struct CommandLine {
    const char* outputName;   // -o NAME / --output NAME: the movie's name, accepted
    bool acceptName;          // -y / --yes: the proposed name, accepted
    int firstNumber;          // argv[firstNumber] is ntx
    int firstFile;            // argv[firstFile] is the first panel's movie
};

// ---- Command line and run parameters ----

enum NumberParse { numberRead, numberMissing, numberTooLarge };

// Reads a decimal integer the way "%d" does: leading white space skipped, an optional sign,
// digits up to the first non-digit; what follows is ignored. Needs text non-null.
NumberParse parseDecimal(const char* text, std::int32_t* value);

// Reads the options, parses and echoes the six numbers, checks the file count, the limits
// and the file names. Prints the usage text or the reason before it returns a stop.
// --help or --version as the only argument prints the usage text or "Mozaro <version>"
// and returns a stop, done.
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
    char** panelNames;                // the command line's names
    std::vector<osFile> panelFiles;   // open from openPanelMovies to closePanelMovies
};

// Needs the names checked by parseRunParameters.
void fillPanelNames(char** argv, const CommandLine& commandLine, PanelGrid* grid);
void listPanelLayout(const RunParameters& runParameters, const PanelGrid& grid);

// Opens every input movie in grid order and checks them: a regular file must hold a whole
// number of frames, at least nf; a pipe or device may feed one panel only. Prints the
// reason before it returns a stop (nothing when the process was asked to stop); files
// already open stay open for closePanelMovies.
StageResult openPanelMovies(const RunParameters& runParameters, PanelGrid* grid);
void closePanelMovies(PanelGrid* grid);

// ---- Output name dialogue ----

// Room for "B_" and a first file name of 255 bytes, though only names of up to
// maxMovieNameBytes can be accepted.
constexpr int movieNameCapacity = 2 + maxPanelNameBytes + 1;

// Proposes the default name and reads answers from `answers` (standard input in a run)
// until the user accepts a usable name (go on, with it in movieName), declines (stop, done),
// the input ends or 100 answers brought neither (stop, failed). With -o or -y on the command
// line the name is accepted without a question, or the run stops where it would be asked
// again.
StageResult confirmMovieName(const PanelGrid& grid, std::int32_t panels, const CommandLine& commandLine,
                             osFile answers, char movieName[movieNameCapacity]);

// ---- Run driver ----

// Runs the whole job once; returns the process's exit status.
int runDriver(int argc, char** argv);
