#include <cstdio>

#include "output/output.h"

// Hex of the 64-bit FNV-1a hash of a file name: temporary file names of a fixed length,
// the same for every run that writes that movie.
static std::string hashOf(const char* text)
{
    std::uint64_t hash = 14695981039346656037ull;
    for (const char* at = text; *at != '\0'; at++)
        hash = (hash ^ (unsigned char)*at) * 1099511628211ull;
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx", (unsigned long long)hash);
    return hex;
}

// A new temporary name in `directory`: the movie's own, or its descriptor's where the
// movie lies elsewhere through a link.
static std::string temporaryName(const OutputMovie& movie, const std::string& directory, const char* role)
{
    static unsigned made = 0;
    char tail[48];
    std::snprintf(tail, sizeof tail, "%s-%d-%u", role, osProcessId(), made++);
    return directory + movie.temporaryPrefix + tail;
}

// Not a temporary file's name: no run removes it as one.
static std::string lockName(const OutputMovie& movie)
{
    return movie.directory + movie.temporaryPrefix.substr(0, movie.temporaryPrefix.size() - 1) + ".lock";
}

static bool holdsLineEnd(const std::string& text)
{
    return text.find_first_of("\r\n") != std::string::npos;
}

OutputResult prepareOutputMovie(const char* name, const RunParameters& runParameters, OutputMovie* movie)
{
    *movie = OutputMovie{};
    movie->name = name;
    movie->file = osNoFile;
    movie->descriptorName = std::string(name) + ".mg";

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
    movie->target = movie->inPlace ? std::string(name) : osFollowLinks(name);
    movie->directory = movie->target.substr(0, osDirectoryPartLength(movie->target.c_str()));
    movie->descriptorDirectory = std::string(name, osDirectoryPartLength(name));
    movie->temporaryPrefix = ".mozaro-" + hashOf(movie->target.c_str() + movie->directory.size()) + "-";

    // The temporary files and the descriptor are made in the movie's directory.
    error = osMayWrite((movie->directory + ".").c_str());
    if (error != 0)
        return OutputResult{movie->inPlace ? descriptorFailed : movieFailed, error};
    if (movie->descriptorDirectory != movie->directory && (error = osMayWrite((movie->descriptorDirectory + ".").c_str())) != 0)
        return OutputResult{descriptorFailed, error};
    osFileKind descriptorKind;
    error = osKindOfFile(movie->descriptorName.c_str(), &descriptorKind);
    if (error == 0 && descriptorKind == osDirectory)
        error = osIsADirectory;
    if (error != 0)
        return OutputResult{descriptorFailed, error};

    // An absolute name is described without the current directory.
    std::string directory;
    if (!osIsAbsolutePath(name)) {
        error = osCurrentDirectory(&directory);
        if (error != 0)
            return OutputResult{descriptorFailed, error};
        if (holdsLineEnd(directory))
            return OutputResult{directoryHasLineEnd, 0};
    }
    movie->descriptorLine = descriptorLine(directory, name, runParameters);
    return OutputResult{outputFine, 0};
}

int createOutputMovie(OutputMovie* movie)
{
    if (movie->inPlace)
        return osOpenStreamForWriting(movie->name, &movie->file);
    osFile lock;
    int error = osLockDirectory(movie->directory, lockName(*movie), &lock);
    if (error != 0)
        return error;
    osRemoveStaleFiles(movie->directory, movie->temporaryPrefix);
    if (movie->descriptorDirectory != movie->directory)
        osRemoveStaleFiles(movie->descriptorDirectory, movie->temporaryPrefix);
    movie->movieTemporary = temporaryName(*movie, movie->directory, "new");
    error = osCreateNew(movie->movieTemporary.c_str(), &movie->file);
    if (error == 0)
        osRememberTemporaryFile(0, movie->movieTemporary.c_str());
    else
        movie->movieTemporary.clear();
    osUnlockDirectory(lock);
    return error;
}

int writeMovieRows(OutputMovie* movie, const unsigned char* rows, std::int64_t bytes)
{
    return osWriteFull(movie->file, rows, std::size_t(bytes));
}

void abandonOutputMovie(OutputMovie* movie)
{
    if (movie->file != osNoFile)
        (void)osClose(movie->file);
    movie->file = osNoFile;
    if (!movie->movieTemporary.empty())
        (void)osRemoveFile(movie->movieTemporary.c_str());
    movie->movieTemporary.clear();
    osRememberTemporaryFile(0, nullptr);
}

// Writes the descriptor line into a new temporary file; on storage before it replaces an
// earlier descriptor.
static int writeDescriptorFile(const OutputMovie& movie, const std::string& name, bool replacing)
{
    osFile file;
    int error = osCreateNew(name.c_str(), &file);
    if (error != 0)
        return error;
    osRememberTemporaryFile(1, name.c_str());
    error = osWriteFull(file, movie.descriptorLine.data(), movie.descriptorLine.size());
    if (error == 0 && replacing)
        error = osSync(file);
    int closed = osClose(file);
    return error != 0 ? error : closed;
}

// Puts the new movie and descriptor in place of the earlier ones. Until the new movie is
// in, the earlier one keeps a second name and the earlier descriptor is moved aside, so
// that a failure at any step can put them back.
static OutputResult putInPlace(OutputMovie* movie, const std::string& descriptorTemporary, bool replacing)
{
    const char* target = movie->target.c_str();
    const char* descriptor = movie->descriptorName.c_str();
    std::string movieAside, descriptorAside;
    if (replacing) {
        movieAside = temporaryName(*movie, movie->directory, "old");
        // Where the file system has no second names, a failure after the new movie is in
        // can no longer bring the earlier one back; nothing else changes.
        if (osLink(target, movieAside.c_str()) != 0)
            movieAside.clear();
    }
    descriptorAside = temporaryName(*movie, movie->descriptorDirectory, "oldmg");
    int error = osRename(descriptor, descriptorAside.c_str());
    if (error != 0) {
        descriptorAside.clear();
        if (!osNotFound(error)) {
            if (!movieAside.empty())
                (void)osRemoveFile(movieAside.c_str());
            return OutputResult{descriptorFailed, error};
        }
    }
    OutputResult result{outputFine, 0};
    bool newMovieIn = false;
    error = osRename(movie->movieTemporary.c_str(), target);
    if (error != 0) {
        result = OutputResult{movieFailed, error};
    } else {
        newMovieIn = true;
        movie->movieTemporary.clear();
        error = osRename(descriptorTemporary.c_str(), descriptor);
        if (error != 0) {
            result = OutputResult{descriptorFailed, error};
            if (!movieAside.empty() ? osRename(movieAside.c_str(), target) == 0
                                    : !replacing && osRemoveFile(target) == 0) {
                movieAside.clear();
                newMovieIn = false;
            }
        }
    }
    // The earlier descriptor returns only to the earlier movie.
    if (result.failure != outputFine && !newMovieIn && !descriptorAside.empty() &&
        osRename(descriptorAside.c_str(), descriptor) == 0)
        descriptorAside.clear();
    // What is left aside the next run removes, should this fail; the earlier movie's
    // second name stays while it is the only one.
    if (!movieAside.empty() && !(result.failure != outputFine && newMovieIn))
        (void)osRemoveFile(movieAside.c_str());
    if (!descriptorAside.empty())
        (void)osRemoveFile(descriptorAside.c_str());
    return result;
}

OutputResult finishOutputMovie(OutputMovie* movie)
{
    // Held until both are in place: no other run's movie and descriptor can mix with these,
    // and no run takes these temporary files for a dead run's.
    osFile lock;
    int error = osLockDirectory(movie->directory, lockName(*movie), &lock);
    if (error != 0)
        return OutputResult{movie->inPlace ? descriptorFailed : movieFailed, error};
    // An earlier movie is given up only for one that is on storage.
    osFileKind kind = osNothing;
    error = movie->inPlace ? 0 : osKindOfFile(movie->target.c_str(), &kind);
    const bool replacing = kind == osRegularFile;
    if (error == 0 && replacing)
        error = osSync(movie->file);
    const int closed = osClose(movie->file);
    movie->file = osNoFile;
    if (error == 0)
        error = closed;

    OutputResult result{outputFine, 0};
    std::string descriptorTemporary;
    if (error != 0) {
        result = OutputResult{movieFailed, error};
    } else {
        descriptorTemporary = temporaryName(*movie, movie->descriptorDirectory, "mg");
        error = writeDescriptorFile(*movie, descriptorTemporary, replacing);
        if (error != 0)
            result = OutputResult{descriptorFailed, error};
        else if (!movie->inPlace)
            result = putInPlace(movie, descriptorTemporary, replacing);
        else if ((error = osRename(descriptorTemporary.c_str(), movie->descriptorName.c_str())) != 0)
            result = OutputResult{descriptorFailed, error};
    }
    if (result.failure != outputFine && !descriptorTemporary.empty())
        (void)osRemoveFile(descriptorTemporary.c_str());
    osRememberTemporaryFile(1, nullptr);
    abandonOutputMovie(movie);
    osUnlockDirectory(lock);
    return result;
}
