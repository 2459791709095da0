// One file replaced all or nothing: a picture, a video. Written into a temporary file of its
// own, made exclusively beside the file it replaces, held and registered so that any stop
// removes it (and a killed run's is removed by the next run in the folder), and renamed over
// that file under the folder's lock only when whole. The checks of the name and its folder
// are a movie's (prepareOutputMovie): another user's link is not followed, a directory is
// refused, a folder with the sticky bit lets only the file's owner replace it.
#include "output/output.h"
#include "platform/directories.h"
#include "platform/process.h"

static std::string failureText(const char* name, const OutputResult& result)
{
    switch (result.failure) {
    case lockKept:
        return result.lockPath + " has been held by another process for " + std::to_string(lockWaitSeconds) +
               " seconds";
    case lockInTheWay:
        return result.lockPath + " is in the way (" + result.detail + "), not a lock file a run can take";
    case linkNotOwn:
        return result.detail + ", which is not followed";
    case noRoom:
        return std::to_string((long long)result.needed) + " bytes needed, " +
               std::to_string((long long)result.available) + " bytes free";
    default:
        return result.error != 0 ? osErrorText(result.error) : std::string("cannot write ") + name;
    }
}

std::string createReplacement(const char* name, const char* role, const std::vector<osFileIdentity>& inputs,
                              bool streamsToo, Replacement* r)
{
    *r = Replacement{};
    if (*name == '\0')
        return osErrorText(osNoSuchFile);
    const RunParameters anySize = runParametersOf(1, 1, 1, 1, 1, 1);
    OutputResult result = prepareOutputMovie(name, anySize, &r->place);
    // The descriptor's part of those checks does not concern a file without one.
    if (result.failure != outputFine && result.failure != descriptorFailed && result.failure != directoryHasLineEnd)
        return failureText(name, result);
    if (r->place.inPlace && !streamsToo)
        return "it exists and is not a regular file";
    if (r->place.inPlace) {
        const int error = osOpenForWriting(name, &r->file);
        return error != 0 ? osErrorText(error) : "";
    }
    r->place.inputs = inputs;
    osFile lock;
    result = lockMovieFolder(&r->place, &lock);
    if (result.failure != outputFine)
        return failureText(name, result);
    tidyMovieFolder(r->place, r->place.directory);
    r->temporary = temporaryName(&r->place, r->place.directory, role);
    int error = osCreateNew(r->temporary.c_str(), &r->file);
    if (error == 0)
        r->temporaryEntry = osRememberTemporaryFile(r->temporary.c_str());
    else
        r->temporary.clear();
    unlockMovieFolder(r->place, lock);
    return error != 0 ? osErrorText(error) : "";
}

int putReplacementInPlace(Replacement* r, OutputResult* lockFailure)
{
    if (r->temporary.empty())
        return 0;
    osFile lock;
    *lockFailure = lockMovieFolder(&r->place, &lock);
    if (lockFailure->failure != outputFine)
        return lockFailure->error != 0 ? lockFailure->error : osLockHeld;
    const int error = osRename(r->temporary.c_str(), r->place.target.c_str());
    if (error == 0) {
        r->temporary.clear();
        osForgetTemporaryFile(r->temporaryEntry);
        r->temporaryEntry = -1;
    }
    unlockMovieFolder(r->place, lock);
    return error;
}

std::string finishReplacement(Replacement* r, bool sync)
{
    // A pipe or device has no storage to put it on.
    int error = sync && !r->place.inPlace ? osSync(r->file) : 0;
    const int closed = osClose(r->file);
    r->file = osNoFile;
    if (error == 0)
        error = closed;
    if (error == 0 && osStopRequested() != 0)
        return "stopped as asked";
    OutputResult lockFailure{outputFine, 0};
    if (error == 0)
        error = putReplacementInPlace(r, &lockFailure);
    if (error == 0)
        return "";
    abandonReplacement(r);
    return lockFailure.failure != outputFine ? failureText(r->place.name, lockFailure) : osErrorText(error);
}

void abandonReplacement(Replacement* r)
{
    if (r->file != osNoFile)
        (void)osClose(r->file);
    r->file = osNoFile;
    if (!r->temporary.empty())
        (void)osRemoveFile(r->temporary.c_str());
    r->temporary.clear();
    osForgetTemporaryFile(r->temporaryEntry);
    r->temporaryEntry = -1;
}
