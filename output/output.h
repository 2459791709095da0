// Output: the merged and blended movie, frame after frame, and its one-line descriptor.
//
// All or nothing: the movie is written into a temporary file of its own in the movie's
// directory and, once complete, renamed over the movie's name together with its
// descriptor, so that a run that stops at any point leaves an earlier movie and its
// descriptor exactly as they were. A pipe or device is written in place.
//
// Temporary files are named ".mozaro-<hash of the movie's file name>-<role>-<process>-<n>",
// at most 60 bytes whatever the movie's name, n counting from a number no one can foresee. The runs of one folder share a lock,
// ".mozaro.lock" there, held only while a run makes its temporary file and while it puts
// the movie in place. Whoever holds it first removes the temporary files no live run holds
// (left by runs that were killed), whatever their movie's name, and completes the commits
// killed runs began: before its first rename a run writes down every rename it will make
// (a "commit" file), so that a run killed among them is finished by the next.
// Functions that can fail return 0 or an OutputResult; they print nothing.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "geometry/runParameters.h"
#include "platform/files.h"

// A run waits this long at most for another to let go of its folder's lock.
constexpr int lockWaitSeconds = 10;

struct OutputMovie {
    const char* name = nullptr;        // the movie's name as the user gave it
    std::string descriptorName;        // name + ".mg"
    std::string descriptorLine;        // what the descriptor will hold
    std::string target;                // the file replaced: the name, or where a link leads
    std::string directory;             // the target's directory part ("" for the current one)
    std::string descriptorDirectory;   // the name's directory part: where the descriptor goes
    std::string temporaryPrefix;       // every temporary file of this movie starts so
    std::string workingDirectory;      // for names in the commit file, "" where unknown
    std::string movieTemporary;        // the new movie until it is renamed ("" when in place)
    bool adopted = false;              // movieTemporary was made by others: kept on a failure
    std::int64_t bytes = 0;            // the whole movie's size
    std::int64_t firstFrameAt = 0;     // the movie frame this run's first frame is
    bool inPlace = false;              // a pipe or device, written as it is
    bool sync = false;                 // on storage before anything is replaced
    osFile file = osNoFile;            // open from createOutputMovie until finished or released
    int temporaryEntry = -1;           // the movie temporary's entry in the process's registry
    unsigned temporariesMade = 0;      // numbers this run's temporary names, from an unforeseeable start
    std::vector<osFileIdentity> inputs;   // files the clean-up must leave, whatever their names
    // Told, once, that the folder's lock is held by another process and the run waits.
    void (*onLockWait)(const char* lockPath) = nullptr;
    // Told of each commit file in the movie's folders that names this movie but is left
    // alone, not being this user's own commit.
    void (*onCommitLeft)(const char* commitPath) = nullptr;
};

// Where the output went wrong: the movie itself, its descriptor, the room it needs, or a
// lock another process keeps.
enum OutputFailure {
    outputFine,
    movieFailed,
    descriptorFailed,
    directoryHasLineEnd,
    noRoom,           // `needed` bytes, `available` free in the file system
    beyondFileLimit,  // `needed` bytes, `available` the largest file the process may write
    lockKept,         // `lockPath` held by another process for lockWaitSeconds
    lockInTheWay,     // `lockPath` holds what no run takes as its lock: `detail` says what
    streamTaken,      // a FIFO another run of Mozaro is writing
    partNotWhole,     // --commit: the file holds `available` bytes, not the `needed` of the movie
    partIsInput,      // --commit, --part: the file is one of the panel movies
    partElsewhere,    // --commit: the file lies outside the movie's folder
    partNotOwn,       // --commit: the file is not a file of this user's own: `detail` says what it is
    linkNotOwn,       // the name leads through another user's symbolic link: `detail` names it
};

struct OutputResult {
    OutputFailure failure;
    int error;
    std::int64_t needed = 0;
    std::int64_t available = 0;
    std::string lockPath = std::string();
    std::string detail = std::string();
    bool administrators = false;   // `available` counts the blocks kept for the administrator
};

// Checks, before any input is opened, that the movie `name` can be written where it is to
// go, and fixes its descriptor line: a directory, or a folder that does not exist or
// cannot be written, is refused; so is a file in a sticky folder that this user may not
// replace, a descriptor name held by a directory, and a current directory whose name holds
// a line end (the descriptor is one line).
OutputResult prepareOutputMovie(const char* name, const RunParameters& runParameters, OutputMovie* movie);

// Takes the folder's lock, completes the commits of killed runs and removes their
// temporary files (never one of `movie->inputs`), checks that the movie fits the file
// system, creates the temporary file it is written to with its room set aside; or opens
// a pipe or device.
OutputResult createOutputMovie(OutputMovie* movie);

// Whether the file system holding the movie takes it whole, beside an earlier one, and its
// descriptor, written after the last frame: `needed` counts both.
OutputResult checkMovieRoom(const OutputMovie& movie);

// --commit: takes `file`, the whole new movie that others wrote, as this run's temporary
// file, for finishOutputMovie to put in place; a failure keeps it. The file must be this
// user's own regular file with one name, not a link, not one of
// `movie->inputs`, in the movie's folder or in a hidden folder of the user's own there
// (a job's state folder).
OutputResult adoptOutputMovie(OutputMovie* movie, const char* file);

// --part: opens `file`, which must exist and be a regular file and none of `inputs`, for
// frames written at their places from movie frame `firstFrame` on; nothing is put in place.
// finishMoviePart puts them on storage and closes it.
OutputResult openMoviePart(OutputMovie* movie, const char* file, std::int64_t firstFrame,
                           const RunParameters& runParameters, const std::vector<osFileIdentity>& inputs);
int finishMoviePart(OutputMovie* movie);

// A sink for the frame pipeline: writes rows at `offset` of the movie (or, in place, where
// it stands), moving `offset` on.
struct MovieRows {
    OutputMovie* movie;
    std::int64_t offset;
};
int writeMovieRows(void* movieRows, const unsigned char* rows, std::int64_t bytes);

// Closes the movie, writes its descriptor and puts both in place, the earlier ones going
// only then. On failure (or a request to stop before the first rename) nothing of the new
// movie is left and the earlier movie and descriptor are as they were; once the renames
// have begun they are finished.
OutputResult finishOutputMovie(OutputMovie* movie);

// Closes what is open and removes the temporary file of a movie not put in place.
void releaseOutputMovie(OutputMovie* movie);

// ---- Commits and the folder's lock (output/movieCommit.cpp) ----

// Takes the lock of the movie's folder, waiting lockWaitSeconds at most; *lock osNoFile
// where the file system has no locks.
OutputResult lockMovieFolder(OutputMovie* movie, osFile* lock);
void unlockMovieFolder(const OutputMovie& movie, osFile lock);

// With the folder's lock held: finishes the commits this user's runs began and did not end
// (killed among their renames), and removes this user's temporary files that no live run
// holds, but never one of `inputs`. A commit file is obeyed only where it is this user's own,
// no live run holds it, and every name in it has the shape a run gives its files, in this
// folder (or, for a movie reached through a link, in the folder of the link and the folder
// it leads to); anything else is left alone, and `movie->onCommitLeft` told of it where
// it names this movie.
void tidyMovieFolder(const OutputMovie& movie, const std::string& directory);

// In words, what was found at a name: "a FIFO, pipe or device of user nobody", ...
std::string describeFoundFile(const char* name);

// With the lock held: renames the closed new movie and its descriptor's temporary file into
// place, keeping a way back until both are in (and writing the commit file first). Where
// neither way can be finished it leaves the commit to the next run: then it clears the
// names of the temporary files, which must stay.
OutputResult commitMovie(OutputMovie* movie, std::string* descriptorTemporary, bool replacing);

// 16 hex digits that every temporary file of the movie named `name` (in its folder) holds.
std::string nameHash(const char* name);

// A new temporary name in `directory`: the movie's own, or its descriptor's where the movie
// lies elsewhere through a link.
std::string temporaryName(OutputMovie* movie, const std::string& directory, const char* role);

// ---- One file replaced all or nothing (output/replacement.cpp) ----
// A picture or a video, which has no descriptor: written into a temporary file of its own
// made exclusively beside the file it replaces, removed on any stop, and renamed over that
// file under the folder's lock only when whole. A pipe or device is written in place.

struct Replacement {
    OutputMovie place;              // the name's checks, its target and folder, as a movie's
    std::string temporary;          // "" when in place, put in place or abandoned
    osFile file = osNoFile;         // open for writing from create to finish or abandon
    int temporaryEntry = -1;        // the temporary's entry in the process's registry
};

// Checks the name and creates the temporary file, named for `role`, never one of `inputs`
// (which the folder's clean-up leaves alone); a pipe or device is opened to be written in
// place where `streamsToo`, else refused. "" or what is wrong, in words that follow
// "cannot write NAME: ".
std::string createReplacement(const char* name, const char* role, const std::vector<osFileIdentity>& inputs,
                              bool streamsToo, Replacement* r);
// With the file closed: renames it over the name under the folder's lock; 0 or the error
// (*lockFailure says more where the lock could not be had).
int putReplacementInPlace(Replacement* r, OutputResult* lockFailure);
// Closes the file (on storage first where `sync`) and renames it over the name; "" or what
// is wrong, and then nothing of it is left.
std::string finishReplacement(Replacement* r, bool sync);
// Closes it and removes the temporary file.
void abandonReplacement(Replacement* r);

// ---- The descriptor (output/movieDescriptor.cpp) ----

// The host field of the descriptor: movies are always described as lying on this machine.
extern const char* const descriptorHost;

// The descriptor line for a movie, line end included: host, two blanks, the movie's path
// (the directory, the system's separator and the name; an absolute name alone, on Windows
// completed where it is rooted on the current drive or relative to a drive's own), then width,
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
