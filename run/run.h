// Run control: the command line and the run parameters, the panel grid and its input
// movies, the output name dialogue, and the run driver that calls everything in order.
#pragma once

#include <cstdint>
#include <cstdio>

#include "platform/osFiles.h"

// The six command-line integers and every size derived from them. Filled once, before the
// dialogue, and read-only afterwards.
struct RunParameters {
    std::int32_t ntx;            // panels across the grid (columns)
    std::int32_t nty;            // panels down the grid (rows)
    std::int32_t nx;             // panel frame width in pixels
    std::int32_t ny;             // panel frame height in pixels
    std::int32_t nf;             // frames in every movie
    std::int32_t nBlend;         // side of the pixel block that becomes one output pixel
    std::int32_t outWidth;       // (nx * ntx) / nBlend
    std::int32_t outHeight;      // (ny * nty) / nBlend
    std::int32_t blockArea;      // nBlend * nBlend
    std::int32_t tileRowBytes;   // 3 * nx
    std::int32_t mosaicRowBytes; // 3 * nx * ntx
    std::int32_t tileFrameBytes; // 3 * nx * ny
    std::int32_t outRowBytes;    // 3 * outWidth
    std::int32_t outFrameBytes;  // 3 * outWidth * outHeight
};

// What a stage tells the driver: go on with the run, or stop it, either because the job is
// done as the user wanted (exit status 0) or because it cannot be done (exit status 1).
enum StageResult { stageGoOn, stageStopDone, stageStopFailed };

// Limits of the panel tables and of the name slots.
constexpr int maxPanelsAcross = 10;
constexpr int maxPanelsDown = 10;
constexpr int panelNameCapacity = 256;    // a name of at most 255 bytes and its NUL
constexpr int maxMovieNameBytes = 252;    // leaves room for ".mg" in 255 bytes
constexpr int maxBlend = 2901;            // 255 * 2901 * 2901 still fits a signed 32-bit sum
constexpr int firstFileArgument = 7;      // argv[1..6] are the numbers

// ---- Command line and run parameters ----

enum NumberParse { numberRead, numberMissing, numberTooLarge };

// Reads a decimal integer the way "%d" does: leading white space skipped, an optional sign,
// digits up to the first non-digit; what follows is ignored. Needs text non-null.
NumberParse parseDecimal(const char* text, std::int32_t* value);

// Which limit of the run parameters a set of values breaks, checked in this order.
enum LimitBreach {
    withinLimits,
    ntxOutOfRange,
    ntyOutOfRange,
    nxOutOfRange,
    nyOutOfRange,
    nfOutOfRange,
    nBlendOutOfRange,
    tileFrameTooLarge,
    mosaicFrameTooLarge
};
// All products in 64-bit arithmetic; needs the six values parsed.
LimitBreach checkRunLimits(const RunParameters& runParameters);

// Parses and echoes the six numbers, checks the file count, the limits and the file names.
// Prints the usage text or the reason before it returns a stop. --help or --version as the
// only argument prints the usage text or "Mozaro <version>" and returns a stop, done.
StageResult parseRunParameters(int argc, char** argv, RunParameters* runParameters);

// Fills the derived fields; needs parameters within the limits. computeSizes is silent,
// deriveSizes also prints the resolution line.
void computeSizes(RunParameters* runParameters);
void deriveSizes(RunParameters* runParameters);

// ---- Panel grid and input movies ----

// Panel row i (0 = bottom) and column j (0 = left); the k-th file name belongs to row
// k / ntx, column k % ntx.
extern char panelNames[maxPanelsDown][maxPanelsAcross][panelNameCapacity];
extern osFile panelFiles[maxPanelsDown][maxPanelsAcross];

// Needs the names checked by parseRunParameters.
void fillPanelNames(char** argv, const RunParameters& runParameters);
void listPanelLayout(const RunParameters& runParameters);

// Opens every input movie in grid order and checks that each regular file holds nf frames.
// Prints the reason before it returns a stop; files already open stay open for
// closePanelMovies.
StageResult openPanelMovies(const RunParameters& runParameters);
void closePanelMovies(const RunParameters& runParameters);

// ---- Output name dialogue ----

// Room for "B_" and a first file name of 255 bytes, though only names of up to
// maxMovieNameBytes can be accepted.
constexpr int movieNameCapacity = 2 + panelNameCapacity;
extern char movieName[movieNameCapacity];

// Proposes the default name and reads answers from `answers` (standard input in a run)
// until the user accepts a usable name (go on), declines (stop, done) or the input ends
// (stop, failed).
StageResult confirmMovieName(const RunParameters& runParameters, std::FILE* answers);

// ---- Run driver ----

// Runs the whole job once; returns the process's exit status.
int runDriver(int argc, char** argv);
