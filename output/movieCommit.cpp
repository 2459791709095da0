// Putting a movie in place, all or nothing, and the folder's lock under which runs do it.
//
// A commit is four steps: the earlier movie gets a second name (its way back), the earlier
// descriptor is moved aside, the new movie and then the new descriptor are renamed into
// place; then the ways back are removed. Before the first step the run writes a commit
// file naming every file of the four steps. A run that fails at a step goes back the way it
// came and removes the commit file; a run killed among the steps leaves it, and the next
// run to hold the folder's lock finishes that commit forwards (the new movie was whole and
// closed before it began), so that the folder never keeps neither pair. The commit file is
// held (locked) while its run lives; another run takes up only a commit file that no live
// run holds, that is its own user's, and whose every name has the shape a run gives its
// files (see tidyMovieFolder). A movie written through a link into another folder has its
// descriptor's files in the link's folder: its commit file is written in both folders, so
// that a run in either finishes it.
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
        if (error == osNotOwnFile)
            return OutputResult{lockInTheWay, 0, 0, 0, path, describeFoundFile(path.c_str())};
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

std::string describeFoundFile(const char* name)
{
    osFoundFile found;
    if (osLookAtFile(name, &found) != 0)
        return "a file that cannot be looked at";
    std::string what = found.link                    ? "a symbolic link"
                       : found.kind == osStream      ? "a FIFO, pipe or device"
                       : found.kind == osDirectory   ? "a directory"
                       : found.kind != osRegularFile ? "a special file"
                                                     : "a file";
    if (!found.owner.empty())
        what += " of user " + found.owner;
    if (!found.link && found.kind == osRegularFile)
        what += found.names != 1 ? " with a second name" : !found.own ? " that this user may not open" : "";
    return what;
}

// The names of a commit, in the order the commit file holds them.
struct Commit {
    std::string target, descriptor, movieTemporary, descriptorTemporary, movieAside, descriptorAside;
};

// A file name of `length` bytes at `name` of the shape ".mozaro-<16 hex digits>-<role>-"
// then, where `numbered`, two numbers: the process and the run's count. `hash` gets its
// digits.
static bool isTemporaryName(const char* name, const char* role, std::string* hash = nullptr, bool numbered = false)
{
    static const char prefix[] = ".mozaro-";
    if (std::strncmp(name, prefix, sizeof prefix - 1) != 0)
        return false;
    const char* digits = name + sizeof prefix - 1;
    for (int k = 0; k < 16; k++)
        if (!((digits[k] >= '0' && digits[k] <= '9') || (digits[k] >= 'a' && digits[k] <= 'f')))
            return false;
    if (digits[16] != '-' || (role != nullptr && std::strncmp(digits + 17, role, std::strlen(role)) != 0))
        return false;
    if (hash != nullptr)
        *hash = std::string(digits, 16);
    if (!numbered)
        return true;
    // role, "-", a number, "-", a number, and nothing more
    const char* at = digits + 17 + std::strlen(role);
    for (int number = 0; number < 2; number++) {
        if (*at++ != '-' || !(*at >= '0' && *at <= '9'))
            return false;
        while (*at >= '0' && *at <= '9')
            at++;
    }
    return *at == '\0';
}

// Names in the commit file stand alone: a run in another directory must find them.
static std::string standingAlone(const OutputMovie& movie, const std::string& name)
{
    if (name.empty() || osIsAbsolutePath(name.c_str()) || movie.workingDirectory.empty())
        return name;
    return movie.workingDirectory + osPathSeparator + name;
}

static std::string folderOf(const std::string& name)
{
    return name.substr(0, osDirectoryPartLength(name.c_str()));
}

static std::string lastPart(const std::string& name)
{
    return name.substr(osDirectoryPartLength(name.c_str()));
}

static bool sameFolder(const std::string& a, const std::string& b)
{
    osFileIdentity one, other;
    return osIdentifyFile((a + ".").c_str(), &one) && osIdentifyFile((b + ".").c_str(), &other) &&
           osSameFile(one, other);
}

static std::string commitText(const OutputMovie& movie, const Commit& c)
{
    std::string text(commitHeader, sizeof commitHeader);
    for (const std::string* name : {&c.target, &c.descriptor, &c.movieTemporary, &c.descriptorTemporary,
                                    &c.movieAside, &c.descriptorAside}) {
        text += standingAlone(movie, *name);
        text += '\0';
    }
    text.append(commitEnd, sizeof commitEnd);
    return text;
}

// Writes a commit file and keeps it open, and so held, until the commit ends: no other run
// takes up a commit its run still makes.
static int writeCommitFile(const OutputMovie& movie, const std::string& text, const std::string& path, osFile* held)
{
    osFile file;
    int error = osCreateNew(path.c_str(), &file);
    if (error != 0)
        return error;
    error = osWriteFull(file, text.data(), text.size(), osAtPosition);
    if (error == 0 && movie.sync)
        error = osSync(file);
    if (error == 0) {
        *held = file;
        return 0;
    }
    (void)osClose(file);
    (void)osRemoveFile(path.c_str());
    return error;
}

// Its name gone, how the commit file's close goes changes nothing.
static void removeCommitFile(const std::string& path, osFile held)
{
    if (path.empty())
        return;
    (void)osRemoveFile(path.c_str());
    if (held != osNoFile)
        osCloseAfterReading(held);
}

// Reads a commit file this user wrote and no live run holds: 0, osNotOwnFile where it is not
// the user's own (or not whole: its run died writing it, before any rename, and it is taken
// for what it is), else an error (held by a live run, say).
static int readCommitFile(const std::string& path, Commit* c)
{
    osFile file;
    int error = osOpenOwnFile(path.c_str(), &file);
    if (error != 0)
        return error;
    std::string text(largestCommitBytes, '\0');
    std::size_t got = 0;
    error = osTryLockOpenFile(file);
    if (error == 0)
        error = osReadFull(file, &text[0], text.size(), osAtPosition, &got);
    osCloseAfterReading(file);
    if (error != 0)
        return error;
    text.resize(got);
    std::size_t at = sizeof commitHeader;
    if (text.compare(0, at, std::string(commitHeader, sizeof commitHeader)) != 0)
        return osNotOwnFile;
    for (std::string* name : {&c->target, &c->descriptor, &c->movieTemporary, &c->descriptorTemporary,
                              &c->movieAside, &c->descriptorAside}) {
        const std::size_t end = text.find('\0', at);
        if (end == std::string::npos)
            return osNotOwnFile;
        *name = text.substr(at, end - at);
        at = end + 1;
    }
    return text.compare(at, std::string::npos, std::string(commitEnd, sizeof commitEnd)) == 0 ? 0 : osNotOwnFile;
}

// Whether a commit read from `folder` names only what a run of this movie makes: the movie
// and its temporary files in one folder, the descriptor and its own in one, `folder` one of
// those two, every temporary name of the movie's hash (`hash`, the commit file's own) and of
// its role.
static bool hasTheShapeOfACommit(const Commit& c, const std::string& folder, const std::string& hash)
{
    const std::string movieFolder = folderOf(c.target), descriptorFolder = folderOf(c.descriptor);
    const std::string movie = lastPart(c.target), descriptor = lastPart(c.descriptor);
    if (movie.empty() || descriptor.size() <= 3 || descriptor.compare(descriptor.size() - 3, 3, ".mg") != 0 ||
        nameHash(movie.c_str()) != hash)
        return false;
    struct Part {
        const std::string* name;
        const std::string* folder;
        const char* role;
    };
    for (const Part& part : {Part{&c.movieTemporary, &movieFolder, "new"}, Part{&c.movieAside, &movieFolder, "old"},
                             Part{&c.descriptorTemporary, &descriptorFolder, "mg"},
                             Part{&c.descriptorAside, &descriptorFolder, "oldmg"}}) {
        if (part.name->empty() && part.name != &c.movieTemporary && part.name != &c.descriptorTemporary)
            continue;   // an earlier movie or descriptor that was not there
        std::string itsHash;
        if (folderOf(*part.name) != *part.folder || !isTemporaryName(lastPart(*part.name).c_str(), part.role, &itsHash, true) ||
            itsHash != hash)
            return false;
    }
    return sameFolder(folder, movieFolder) || sameFolder(folder, descriptorFolder);
}

// A file of the commit is put in place only where it is this user's own regular file with
// one name: a run made it so, and nothing another user planted under its name goes in.
static bool renamedOrGone(const std::string& from, const std::string& to)
{
    osFoundFile found;
    int error = osLookAtFile(from.c_str(), &found);
    if (osNotFound(error))
        return true;
    if (error != 0 || found.link || found.kind != osRegularFile || !found.own || found.names != 1)
        return false;
    error = osRename(from.c_str(), to.c_str());
    return error == 0 || osNotFound(error);
}

static bool removedOrGone(const std::string& name)
{
    const int error = name.empty() ? 0 : osRemoveFile(name.c_str());
    return error == 0 || osNotFound(error);
}

// Takes up the commit file `name` in `folder`: finishes a killed run's commit forwards and
// removes the commit file (and its twin in the other folder of a movie reached through a
// link). False where it is left: held by a live run, not this user's own commit (then
// *foreign is set), or a step failed (then its files go into `kept`).
static bool finishCommit(const std::string& folder, const std::string& name, bool* foreign,
                         std::vector<std::string>* kept)
{
    Commit c;
    std::string hash;
    *foreign = true;
    if (!isTemporaryName(name.c_str(), "commit", &hash, true))
        return false;
    const int error = readCommitFile(folder + name, &c);
    *foreign = error == osNotOwnFile || (error == 0 && !hasTheShapeOfACommit(c, folder, hash));
    if (error != 0 || *foreign)
        return false;
    const bool done = renamedOrGone(c.movieTemporary, c.target) && renamedOrGone(c.descriptorTemporary, c.descriptor) &&
                      removedOrGone(c.movieAside) && removedOrGone(c.descriptorAside);
    if (!done) {
        for (const std::string* file : {&c.movieTemporary, &c.descriptorTemporary, &c.movieAside, &c.descriptorAside})
            kept->push_back(lastPart(*file));
        return false;
    }
    for (const std::string* other : {&c.target, &c.descriptor})
        if (!sameFolder(folder, folderOf(*other)))
            (void)osRemoveUnheldFile((folderOf(*other) + name).c_str());
    return removedOrGone(folder + name);
}

static void collectName(void* names, const char* name)
{
    static_cast<std::vector<std::string>*>(names)->push_back(name);
}

void tidyMovieFolder(const OutputMovie& movie, const std::string& directory)
{
    // The names first, the folder closed again: each file then takes one open file at most.
    std::vector<std::string> names;
    if (osListDirectory(directory, collectName, &names) != 0)
        return;
    std::vector<std::string> kept;
    for (const std::string& name : names) {
        bool foreign = false;
        if (!isTemporaryName(name.c_str(), "commit-") || finishCommit(directory, name, &foreign, &kept))
            continue;
        kept.push_back(name);
        // A commit of this movie that no run of this user may take up: the user should know.
        if (foreign && movie.onCommitLeft != nullptr && name.compare(0, movie.temporaryPrefix.size(), movie.temporaryPrefix) == 0)
            movie.onCommitLeft((directory + name).c_str());
    }
    for (const std::string& name : names) {
        if (!isTemporaryName(name.c_str(), nullptr))
            continue;
        bool keep = false;
        for (const std::string& k : kept)
            keep = keep || k == name;
        osFileIdentity identity;
        if (!keep && osIdentifyFile((directory + name).c_str(), &identity))
            for (const osFileIdentity& input : movie.inputs)
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
    const std::string text = commitText(*movie, c);
    osFile held = osNoFile, twinHeld = osNoFile;
    int error = writeCommitFile(*movie, text, commitPath, &held);
    if (error != 0)
        return OutputResult{movieFailed, error};
    // The twin, where the descriptor lies in another folder: a run there must not take the
    // descriptor's temporary files for a dead run's leftovers.
    std::string twinPath;
    if (movie->descriptorDirectory != movie->directory && !sameFolder(movie->descriptorDirectory, movie->directory)) {
        twinPath = movie->descriptorDirectory + lastPart(commitPath);
        error = writeCommitFile(*movie, text, twinPath, &twinHeld);
        if (error != 0) {
            removeCommitFile(commitPath, held);
            return OutputResult{descriptorFailed, error};
        }
    }

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
        removeCommitFile(twinPath, twinHeld);
        removeCommitFile(commitPath, held);
    } else {
        // Left as they are for the next run to finish forwards.
        movie->movieTemporary.clear();
        descriptorTemporaryName->clear();
        // Whole since before the first rename (and on storage with --sync): the next run
        // finds them as they are, whatever their close says now.
        for (osFile file : {held, twinHeld})
            if (file != osNoFile)
                osCloseAfterReading(file);
    }
    return result;
}
