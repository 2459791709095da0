// Output: the merged and blended movie, frame after frame, and its one-line descriptor.
// Functions that can fail return 0 or the system's error code; they print nothing.
#pragma once

#include <cstdint>
#include <string>

#include "platform/osFiles.h"
#include "run/runParameters.h"

// The output movie while it is written.
struct OutputMovie {
    const char* name;
    osFile file;
};

// Creates the movie `name`, emptying a file already there, so that it ends up holding
// exactly the frames written. A descriptor an earlier run left under that name goes too:
// it would describe a movie that is no longer there, and a run that stops early must not
// leave it behind. Needs `name` of at most 252 bytes.
int openOutputMovie(const char* name, OutputMovie* movie);

// Appends `bytes` bytes; partial transfers are continued.
int writeMovieRows(OutputMovie* movie, const unsigned char* rows, std::int64_t bytes);

// Closes the movie; only a clean close means the movie is complete.
int closeOutputMovie(OutputMovie* movie);

// The host field of the descriptor: movies are always described as lying on this machine.
extern const char* const descriptorHost;

// The descriptor line for a movie, line end included: host, two blanks, the movie's path
// (the directory, the system's separator and the name; an absolute name alone), then width,
// height and frame count after one blank each.
std::string descriptorLine(const std::string& directory, const char* name, const RunParameters& runParameters);

// Writes "<name>.mg" as a text file holding the descriptor line for the current directory.
int writeMovieDescriptor(const char* name, const RunParameters& runParameters);
