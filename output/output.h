// Output: the merged and blended movie, frame after frame, and its one-line descriptor.
//
// All or nothing: the movie is written into a temporary file of its own in the movie's
// directory and, once complete, renamed over the movie's name together with its
// descriptor, so that a run that stops at any point leaves an earlier movie and its
// descriptor exactly as they were. A pipe or device is written in place.
//
// Temporary files are named ".mozaro-<hash of the movie's file name>-<role>-<process>-<n>",
// at most 60 bytes whatever the movie's name; a run that writes a movie first removes
// those of its name that no live run holds (left by a run that was killed).
// Functions that can fail return 0 or the system's error code; they print nothing.
#pragma once

#include <cstdint>
#include <string>

#include "platform/osFiles.h"
#include "run/runParameters.h"

struct OutputMovie {
    const char* name;             // the movie's name as the user gave it
    std::string descriptorName;   // name + ".mg"
    std::string descriptorLine;   // what the descriptor will hold
    std::string target;           // the file replaced: the name, or where a link leads
    std::string directory;        // the target's directory part ("" for the current one)
    std::string descriptorDirectory;   // the name's directory part: where the descriptor goes
    std::string temporaryPrefix;  // every temporary file of this movie starts so
    std::string movieTemporary;   // the new movie until it is renamed ("" when in place)
    bool inPlace;                 // a pipe or device, written as it is
    osFile file;                  // open from createOutputMovie until finished or abandoned
};

// Where the output went wrong: the movie itself or its descriptor.
enum OutputFailure { outputFine, movieFailed, descriptorFailed, directoryHasLineEnd };

struct OutputResult {
    OutputFailure failure;
    int error;
};

// Checks, before any input is opened, that the movie `name` can be written where it is to
// go, and fixes its descriptor line: a directory, or a folder that does not exist or
// cannot be written, is refused; so is a descriptor name held by a directory, and a
// current directory whose name holds a line end (the descriptor is one line).
OutputResult prepareOutputMovie(const char* name, const RunParameters& runParameters, OutputMovie* movie);

// Creates the temporary file the movie is written to, or opens a pipe or device.
int createOutputMovie(OutputMovie* movie);

// Appends `bytes` bytes; partial transfers are continued.
int writeMovieRows(OutputMovie* movie, const unsigned char* rows, std::int64_t bytes);

// Closes the movie, writes its descriptor and puts both in place, the earlier ones going
// only then. On failure nothing of the new movie is left and the earlier movie and
// descriptor are as they were.
OutputResult finishOutputMovie(OutputMovie* movie);

// For a run that stops: closes the movie and removes its temporary file.
void abandonOutputMovie(OutputMovie* movie);

// The host field of the descriptor: movies are always described as lying on this machine.
extern const char* const descriptorHost;

// The descriptor line for a movie, line end included: host, two blanks, the movie's path
// (the directory, the system's separator and the name; an absolute name alone), then width,
// height and frame count after one blank each.
std::string descriptorLine(const std::string& directory, const char* name, const RunParameters& runParameters);

// ---- Reading a descriptor back ----
// For the companion programs and --describe: one reader, by the rules of the line above.
#include <cstdint>
#include <string>

// What a descriptor says of its movie.
struct MovieDescription {
    std::string path;   // as written: may hold blanks, never a line end or a NUL
    std::int32_t width;
    std::int32_t height;
    std::int32_t frames;
};

// Reads the descriptor file `name`: exactly one line, "localhost", two blanks, a path that is
// not empty, then width, height and frame count after one blank each, in plain decimal below
// 2^31, ended by LF or CR LF. The numbers are taken from the end, so the path may hold blanks.
// Returns "" with *description filled in, or what is wrong in words that follow a program's
// name ("cannot read descriptor ...", "descriptor ... is not one line ..."); prints nothing.
std::string readMovieDescription(const char* name, MovieDescription* description);
