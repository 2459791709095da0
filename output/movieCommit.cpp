// Putting a movie in place, all or nothing, and the folder's lock under which runs do it.
//
// A commit is four steps: the earlier movie gets a second name (its way back), the earlier
// descriptor is moved aside, the new movie and then the new descriptor are renamed into
// place; then the ways back are removed. Before the first step the run writes a commit
// file naming every file of the four steps. A run that fails at a step goes back the way it
// came and removes the commit file; a run killed among the steps leaves it, and the next
// run to hold the folder's lock finishes that commit forwards (the new movie was whole and
// closed before it began), so that the folder never keeps neither pair.
#include <cstring>

#include "output/output.h"
#include "platform/directories.h"
#include "platform/process.h"

static const char* const lockFileName = ".mozaro.lock";
static const char commitHeader[] = "mozaro commit";
static const char commitEnd[] = "end";
// A commit file is six names; far more than any six the system allows.
static const std::size_t largestCommitBytes = 6 * 65536 + 64;

OutputResult lockMovieFolder(OutputMovie* movie, osFile* lock)
{
    const std::string path = movie->directory + lockFileName;
    const std::int64_t start = osClockMilliseconds();
    bool told = false;
    for (;;) {
        const int error = osTryLock(path.c_str(), lock);
        if (error == 0)
            return OutputResult{outputFine, 0};
        if (error != osLockHeld)
            return OutputResult{movieFailed, error};
        const std::int64_t waited = osClockMilliseconds() - start;
        if (waited >= 1000 * std::int64_t(lockWaitSeconds))
            return OutputResult{lockKept, 0, 0, 0, path};
        if (osStopRequested() != 0)
            return OutputResult{movieFailed, 0};
        // Another run holds it for a moment; say so only when the moment is long.
        if (!told && waited >= 1000 && movie->onLockWait != nullptr) {
            movie->onLockWait(path.c_str());
            told = true;
        }
        osSleepMilliseconds(20);
    }
}

void unlockMovieFolder(const OutputMovie& movie, osFile lock)
{
    osUnlock((movie.directory + lockFileName).c_str(), lock);
}

// The names of a commit, in the order the commit file holds them.
struct Commit {
    std::string target, descriptor, movieTemporary, descriptorTemporary, movieAside, descriptorAside;
};

// ".mozaro-", 16 hex digits of a name's hash, "-", then `role` if given.
static bool isTemporaryName(const char* name, const char* role)
{
    static const char prefix[] = ".mozaro-";
    if (std::strncmp(name, prefix, sizeof prefix - 1) != 0)
        return false;
    const char* hash = name + sizeof prefix - 1;
    for (int k = 0; k < 16; k++)
        if (!((hash[k] >= '0' && hash[k] <= '9') || (hash[k] >= 'a' && hash[k] <= 'f')))
            return false;
    return hash[16] == '-' && (role == nullptr || std::strncmp(hash + 17, role, std::strlen(role)) == 0);
}

// Names in the commit file stand alone: a run in another directory must find them.
static std::string standingAlone(const OutputMovie& movie, const std::string& name)
{
    if (name.empty() || osIsAbsolutePath(name.c_str()) || movie.workingDirectory.empty())
        return name;
    return movie.workingDirectory + osPathSeparator + name;
}

static int writeCommitFile(const OutputMovie& movie, const Commit& c, const std::string& path)
{
    std::string text(commitHeader, sizeof commitHeader);
    for (const std::string* name : {&c.target, &c.descriptor, &c.movieTemporary, &c.descriptorTemporary,
                                    &c.movieAside, &c.descriptorAside}) {
        text += standingAlone(movie, *name);
        text += '\0';
    }
    text.append(commitEnd, sizeof commitEnd);
    osFile file;
    int error = osCreateNew(path.c_str(), &file);
    if (error != 0)
        return error;
    error = osWriteFull(file, text.data(), text.size(), osAtPosition);
    if (error == 0 && movie.sync)
        error = osSync(file);
    const int closed = osClose(file);
    if (error == 0)
        error = closed;
    if (error != 0)
        (void)osRemoveFile(path.c_str());
    return error;
}

// Reads a commit file; false when it is not whole (its run died writing it, before any
// rename).
static bool readCommitFile(const std::string& path, Commit* c)
{
    osFile file;
    if (osOpenForReading(path.c_str(), &file) != 0)
        return false;
    std::string text(largestCommitBytes, '\0');
    std::size_t got = 0;
    const int error = osReadFull(file, &text[0], text.size(), osAtPosition, &got);
    osCloseAfterReading(file);
    if (error != 0)
        return false;
    text.resize(got);
    std::size_t at = sizeof commitHeader;
    if (text.compare(0, at, std::string(commitHeader, sizeof commitHeader)) != 0)
        return false;
    for (std::string* name : {&c->target, &c->descriptor, &c->movieTemporary, &c->descriptorTemporary,
                              &c->movieAside, &c->descriptorAside}) {
        const std::size_t end = text.find('\0', at);
        if (end == std::string::npos)
            return false;
        *name = text.substr(at, end - at);
        at = end + 1;
    }
    return text.compare(at, std::string::npos, std::string(commitEnd, sizeof commitEnd)) == 0;
}

static bool renamedOrGone(const std::string& from, const std::string& to)
{
    const int error = osRename(from.c_str(), to.c_str());
    return error == 0 || osNotFound(error);
}

static bool removedOrGone(const std::string& name)
{
    const int error = name.empty() ? 0 : osRemoveFile(name.c_str());
    return error == 0 || osNotFound(error);
}

// Finishes a killed run's commit forwards; false, leaving the commit file, where a step fails.
static bool finishCommit(const std::string& path, std::vector<std::string>* kept)
{
    Commit c;
    if (readCommitFile(path, &c)) {
        const bool done = renamedOrGone(c.movieTemporary, c.target) && renamedOrGone(c.descriptorTemporary, c.descriptor) &&
                          removedOrGone(c.movieAside) && removedOrGone(c.descriptorAside);
        if (!done) {
            for (const std::string* name : {&c.movieTemporary, &c.descriptorTemporary, &c.movieAside, &c.descriptorAside})
                kept->push_back(name->substr(osDirectoryPartLength(name->c_str())));
            return false;
        }
    }
    return removedOrGone(path);
}

static void collectName(void* names, const char* name)
{
    static_cast<std::vector<std::string>*>(names)->push_back(name);
}

void tidyMovieFolder(const std::string& directory, const std::vector<osFileIdentity>& inputs)
{
    // The names first, the folder closed again: each file then takes one open file at most.
    std::vector<std::string> names;
    if (osListDirectory(directory, collectName, &names) != 0)
        return;
    std::vector<std::string> kept;
    for (const std::string& name : names)
        if (isTemporaryName(name.c_str(), "commit-") && !finishCommit(directory + name, &kept))
            kept.push_back(name);
    for (const std::string& name : names) {
        if (!isTemporaryName(name.c_str(), nullptr))
            continue;
        bool keep = false;
        for (const std::string& k : kept)
            keep = keep || k == name;
        osFileIdentity identity;
        if (!keep && osIdentifyFile((directory + name).c_str(), &identity))
            for (const osFileIdentity& input : inputs)
                keep = keep || osSameFile(identity, input);
        if (!keep)
            (void)osRemoveUnheldFile((directory + name).c_str());
    }
}

OutputResult commitMovie(OutputMovie* movie, std::string* descriptorTemporaryName, bool replacing)
{
    const std::string descriptorTemporary = *descriptorTemporaryName;
    // From here on a second request to stop leaves every file to the next run.
    osForgetTemporaryFile(movie->temporaryEntry);
    movie->temporaryEntry = -1;
    Commit c{movie->target, movie->descriptorName, movie->movieTemporary, descriptorTemporary, "", ""};
    const char* target = c.target.c_str();
    const char* descriptor = c.descriptor.c_str();
    if (replacing)
        c.movieAside = temporaryName(movie, movie->directory, "old");
    c.descriptorAside = temporaryName(movie, movie->descriptorDirectory, "oldmg");
    const std::string commitPath = temporaryName(movie, movie->directory, "commit");
    int error = writeCommitFile(*movie, c, commitPath);
    if (error != 0)
        return OutputResult{movieFailed, error};

    // Where the file system has no second names, a failure after the new movie is in can no
    // longer bring the earlier one back; nothing else changes.
    if (replacing && osLink(target, c.movieAside.c_str()) != 0)
        c.movieAside.clear();
    bool descriptorAside = true;
    error = osRename(descriptor, c.descriptorAside.c_str());
    OutputResult result{outputFine, 0};
    bool consistent = true;   // the earlier pair or the new one stands under the names
    if (error != 0) {
        descriptorAside = false;
        if (!osNotFound(error))
            result = OutputResult{descriptorFailed, error};
    }
    bool newMovieIn = false;
    if (result.failure == outputFine) {
        error = osRename(c.movieTemporary.c_str(), target);
        if (error != 0) {
            result = OutputResult{movieFailed, error};
        } else {
            newMovieIn = true;
            movie->movieTemporary.clear();
            error = osRename(descriptorTemporary.c_str(), descriptor);
            if (error != 0) {
                result = OutputResult{descriptorFailed, error};
                if (!c.movieAside.empty() ? osRename(c.movieAside.c_str(), target) == 0
                                          : !replacing && osRemoveFile(target) == 0) {
                    c.movieAside.clear();
                    newMovieIn = false;
                } else {
                    consistent = false;
                }
            }
        }
    }
    // The earlier descriptor returns only to the earlier movie.
    if (result.failure != outputFine && !newMovieIn && descriptorAside) {
        if (osRename(c.descriptorAside.c_str(), descriptor) == 0)
            descriptorAside = false;
        else
            consistent = false;
    }
    if (consistent) {
        if (!c.movieAside.empty())
            (void)osRemoveFile(c.movieAside.c_str());
        if (descriptorAside)
            (void)osRemoveFile(c.descriptorAside.c_str());
        (void)osRemoveFile(commitPath.c_str());
    } else {
        // Left as they are for the next run to finish forwards.
        movie->movieTemporary.clear();
        descriptorTemporaryName->clear();
    }
    return result;
}
