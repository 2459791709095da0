#include <cstdio>

#include "output/output.h"
#include "platform/directories.h"
#include "platform/process.h"

// Hex of the 64-bit FNV-1a hash of a file name: temporary file names of a fixed length,
// the same for every run that writes that movie.
std::string nameHash(const char* text)
{
    std::uint64_t hash = 14695981039346656037ull;
    for (const char* at = text; *at != '\0'; at++)
        hash = (hash ^ (unsigned char)*at) * 1099511628211ull;
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx", (unsigned long long)hash);
    return hex;
}

std::string temporaryName(OutputMovie* movie, const std::string& directory, const char* role)
{
    char tail[48];
    std::snprintf(tail, sizeof tail, "%s-%d-%u", role, osProcessId(), movie->temporariesMade++);
    return directory + movie->temporaryPrefix + tail;
}

static bool holdsLineEnd(const std::string& text)
{
    return text.find_first_of("\r\n") != std::string::npos;
}

OutputResult prepareOutputMovie(const char* name, const RunParameters& runParameters, OutputMovie* movie)
{
    *movie = OutputMovie{};
    movie->name = name;
    movie->descriptorName = std::string(name) + ".mg";
    movie->bytes = runParameters.outMovieBytes;

    osFileKind kind;
    int error = osKindOfFile(name, &kind);
    if (error != 0)
        return OutputResult{movieFailed, error};
    if (kind == osDirectory)
        return OutputResult{movieFailed, osIsADirectory};
    // An existing movie the user may not write stays refused, as it would be written over.
    if (kind == osRegularFile && (error = osMayWrite(name)) != 0)
        return OutputResult{movieFailed, error};
    movie->inPlace = kind == osStream || kind == osOtherFile;
    movie->target = name;
    if (!movie->inPlace && (error = osFollowLinks(name, &movie->target)) != 0)
        return OutputResult{movieFailed, error};
    movie->directory = movie->target.substr(0, osDirectoryPartLength(movie->target.c_str()));
    movie->descriptorDirectory = std::string(name, osDirectoryPartLength(name));
    movie->temporaryPrefix = ".mozaro-" + nameHash(movie->target.c_str() + movie->directory.size()) + "-";

    // The temporary files and the descriptor are made in the movie's directory, and the
    // earlier ones replaced there.
    error = osMayWrite((movie->directory + ".").c_str());
    if (error != 0)
        return OutputResult{movie->inPlace ? descriptorFailed : movieFailed, error};
    if (!movie->inPlace && (error = osMayReplace(movie->target.c_str())) != 0)
        return OutputResult{movieFailed, error};
    if (movie->descriptorDirectory != movie->directory && (error = osMayWrite((movie->descriptorDirectory + ".").c_str())) != 0)
        return OutputResult{descriptorFailed, error};
    osFileKind descriptorKind;
    error = osKindOfFile(movie->descriptorName.c_str(), &descriptorKind);
    if (error == 0 && descriptorKind == osDirectory)
        error = osIsADirectory;
    if (error == 0)
        error = osMayReplace(movie->descriptorName.c_str());
    if (error != 0)
        return OutputResult{descriptorFailed, error};

    // An absolute name is described without the current directory.
    const int directoryError = osCurrentDirectory(&movie->workingDirectory);
    if (directoryError != 0)
        movie->workingDirectory.clear();
    if (!osIsAbsolutePath(name)) {
        if (directoryError != 0)
            return OutputResult{descriptorFailed, directoryError};
        if (holdsLineEnd(movie->workingDirectory))
            return OutputResult{directoryHasLineEnd, 0};
    }
    movie->descriptorLine = descriptorLine(movie->workingDirectory, name, runParameters);
    return OutputResult{outputFine, 0};
}

OutputResult checkMovieRoom(const OutputMovie& movie)
{
    const std::int64_t limit = osFileSizeLimit();
    if (limit >= 0 && movie.bytes > limit)
        return OutputResult{beyondFileLimit, 0, movie.bytes, limit};
    const osRoom room = osFreeSpace(movie.directory);
    const std::int64_t block = room.blockBytes > 0 ? room.blockBytes : 1;
    const std::int64_t descriptor = (std::int64_t(movie.descriptorLine.size()) + block - 1) / block * block;
    const std::int64_t needed = movie.bytes > INT64_MAX - descriptor ? INT64_MAX : movie.bytes + descriptor;
    const OutputFailure failure = room.freeBytes >= 0 && needed > room.freeBytes ? noRoom : outputFine;
    return OutputResult{failure, 0, needed, room.freeBytes, std::string(), std::string(), room.administrators};
}

OutputResult createOutputMovie(OutputMovie* movie)
{
    if (movie->inPlace) {
        int error = osOpenForWriting(movie->name, &movie->file);
        if (error != 0)
            return OutputResult{movieFailed, error};
        // Two runs writing into one FIFO would mix their frames.
        error = osTryLockOpenFile(movie->file);
        if (error == osLockHeld)
            return OutputResult{streamTaken, 0};
        return OutputResult{error == 0 ? outputFine : movieFailed, error};
    }
    osFile lock;
    OutputResult result = lockMovieFolder(movie, &lock);
    if (result.failure != outputFine)
        return result;
    tidyMovieFolder(*movie, movie->directory);
    if (movie->descriptorDirectory != movie->directory)
        tidyMovieFolder(*movie, movie->descriptorDirectory);
    result = checkMovieRoom(*movie);
    if (result.failure == outputFine) {
        movie->movieTemporary = temporaryName(movie, movie->directory, "new");
        int error = osCreateNew(movie->movieTemporary.c_str(), &movie->file);
        if (error == 0) {
            movie->temporaryEntry = osRememberTemporaryFile(movie->movieTemporary.c_str());
            error = osReserveSpace(movie->file, movie->bytes);
        } else {
            movie->movieTemporary.clear();
        }
        if (error != 0)
            result = OutputResult{movieFailed, error};
    }
    unlockMovieFolder(*movie, lock);
    return result;
}

static bool isOneOf(osFile file, const std::vector<osFileIdentity>& inputs)
{
    osFileIdentity identity;
    bool stream;
    if (!osIdentifyOpenFile(file, &identity, &stream))
        return false;
    for (const osFileIdentity& input : inputs)
        if (osSameFile(identity, input))
            return true;
    return false;
}

// Where a finished part may be taken from: the movie's folder, or a hidden folder directly
// in it that is the user's own and that no other user may write.
static bool liesBesideTheMovie(const OutputMovie& movie, const std::string& file)
{
    const std::string folder = file.substr(0, osDirectoryPartLength(file.c_str()));
    osFileIdentity movieFolder, itsFolder;
    if (!osIdentifyFile((movie.directory + ".").c_str(), &movieFolder) ||
        !osIdentifyFile((folder + ".").c_str(), &itsFolder))
        return false;
    if (osSameFile(movieFolder, itsFolder))
        return true;
    if (folder.size() < 2)
        return false;
    const std::string hidden = folder.substr(0, folder.size() - 1);
    const std::size_t part = osDirectoryPartLength(hidden.c_str());
    osFoundFile found;
    osFileIdentity above;
    return hidden[part] == '.' && hidden.compare(part, std::string::npos, "..") != 0 &&
           hidden.compare(part, std::string::npos, ".") != 0 && osLookAtFile(hidden.c_str(), &found) == 0 &&
           !found.link && found.kind == osDirectory && found.own && !found.othersMayWrite &&
           osIdentifyFile((hidden.substr(0, part) + ".").c_str(), &above) && osSameFile(above, movieFolder);
}

OutputResult adoptOutputMovie(OutputMovie* movie, const char* file)
{
    osFoundFile found;
    int error = osLookAtFile(file, &found);
    if (error != 0)
        return OutputResult{movieFailed, error};
    if (found.link || found.kind != osRegularFile || !found.own || found.names != 1)
        return OutputResult{partNotOwn, 0, 0, 0, std::string(), describeFoundFile(file)};
    if (!liesBesideTheMovie(*movie, file))
        return OutputResult{partElsewhere, 0};
    osFile lock;
    OutputResult result = lockMovieFolder(movie, &lock);
    if (result.failure != outputFine)
        return result;
    tidyMovieFolder(*movie, movie->directory);
    error = osOpenForWriting(file, &movie->file);
    std::int64_t size = 0;
    if (error != 0) {
        result = OutputResult{movieFailed, error};
    } else if (isOneOf(movie->file, movie->inputs)) {
        result = OutputResult{partIsInput, 0};
    } else if (!osRegularFileSize(movie->file, &size) || size != movie->bytes) {
        result = OutputResult{partNotWhole, 0, movie->bytes, size};
    } else {
        movie->movieTemporary = file;
        movie->adopted = true;
    }
    if (result.failure != outputFine && movie->file != osNoFile) {
        (void)osClose(movie->file);
        movie->file = osNoFile;
    }
    unlockMovieFolder(*movie, lock);
    return result;
}

OutputResult openMoviePart(OutputMovie* movie, const char* file, std::int64_t firstFrame,
                           const RunParameters& runParameters, const std::vector<osFileIdentity>& inputs)
{
    *movie = OutputMovie{};
    movie->name = file;
    movie->firstFrameAt = firstFrame;
    movie->bytes = runParameters.outMovieBytes;
    int error = osOpenForWriting(file, &movie->file);
    if (error != 0)
        return OutputResult{movieFailed, error};
    // Frames are written at their places: a pipe or device has none. And never into a panel.
    std::int64_t size;
    const bool input = isOneOf(movie->file, inputs);
    if (input || !osRegularFileSize(movie->file, &size)) {
        (void)osClose(movie->file);
        movie->file = osNoFile;
        return OutputResult{input ? partIsInput : movieFailed, 0};
    }
    return OutputResult{outputFine, 0};
}

int finishMoviePart(OutputMovie* movie)
{
    // A task's frames must outlast the task: the movie is put in place by another.
    int error = osSync(movie->file);
    const int closed = osClose(movie->file);
    movie->file = osNoFile;
    return error != 0 ? error : closed;
}

int writeMovieRows(void* movieRows, const unsigned char* rows, std::int64_t bytes)
{
    MovieRows* at = static_cast<MovieRows*>(movieRows);
    const int error = osWriteFull(at->movie->file, rows, std::size_t(bytes), at->offset);
    if (at->offset != osAtPosition)
        at->offset += bytes;
    return error;
}

void releaseOutputMovie(OutputMovie* movie)
{
    if (movie->file != osNoFile)
        (void)osClose(movie->file);
    movie->file = osNoFile;
    if (!movie->movieTemporary.empty() && !movie->adopted)
        (void)osRemoveFile(movie->movieTemporary.c_str());
    movie->movieTemporary.clear();
    osForgetTemporaryFile(movie->temporaryEntry);
    movie->temporaryEntry = -1;
}

// Writes the descriptor line into a new temporary file, on storage first when asked.
static int writeDescriptorFile(const OutputMovie& movie, const std::string& name)
{
    osFile file;
    int error = osCreateNew(name.c_str(), &file);
    if (error != 0)
        return error;
    error = osWriteFull(file, movie.descriptorLine.data(), movie.descriptorLine.size(), osAtPosition);
    if (error == 0 && movie.sync)
        error = osSync(file);
    int closed = osClose(file);
    return error != 0 ? error : closed;
}

OutputResult finishOutputMovie(OutputMovie* movie)
{
    // The new movie reaches storage before it replaces anything, when asked: outside the
    // lock, which other runs wait for. (A pipe or device replaces nothing.)
    int error = movie->sync && !movie->inPlace ? osSync(movie->file) : 0;
    if (error != 0 || osStopRequested() != 0) {
        releaseOutputMovie(movie);
        return OutputResult{movieFailed, error};
    }
    // Held until both are in place: no other run's movie and descriptor can mix with these,
    // and no run takes the closed temporary files for a dead run's (a descriptor's too, beside
    // a movie written in place).
    osFile lock = osNoFile;
    OutputResult result = lockMovieFolder(movie, &lock);
    if (result.failure != outputFine) {
        if (movie->inPlace && result.failure == movieFailed)
            result.failure = descriptorFailed;
        releaseOutputMovie(movie);
        return result;
    }
    osFileKind kind = osNothing;
    error = movie->inPlace ? 0 : osKindOfFile(movie->target.c_str(), &kind);
    const bool replacing = kind == osRegularFile;
    const int closed = osClose(movie->file);
    movie->file = osNoFile;
    if (error == 0)
        error = closed;

    std::string descriptorTemporary;
    int descriptorEntry = -1;
    if (error != 0) {
        result = OutputResult{movieFailed, error};
    } else {
        descriptorTemporary = temporaryName(movie, movie->descriptorDirectory, "mg");
        descriptorEntry = osRememberTemporaryFile(descriptorTemporary.c_str());
        error = writeDescriptorFile(*movie, descriptorTemporary);
        if (error != 0)
            result = OutputResult{descriptorFailed, error};
        else if (osStopRequested() != 0)   // the last moment a stop can still keep the earlier pair
            result = OutputResult{movieFailed, 0};
        else if (!movie->inPlace)
            result = commitMovie(movie, &descriptorTemporary, replacing);
        else if ((error = osRename(descriptorTemporary.c_str(), movie->descriptorName.c_str())) != 0)
            result = OutputResult{descriptorFailed, error};
    }
    if (result.failure != outputFine && !descriptorTemporary.empty())
        (void)osRemoveFile(descriptorTemporary.c_str());
    osForgetTemporaryFile(descriptorEntry);
    releaseOutputMovie(movie);
    unlockMovieFolder(*movie, lock);
    return result;
}
