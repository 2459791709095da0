#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "platform/directories.h"
#include "platform/process.h"
#include "run/run.h"

// Everything a run holds open between its set-up and its end.
struct Run {
    RunParameters runParameters;
    CommandLine commandLine;
    PanelGrid grid;
    char movieName[movieNameCapacity];
    OutputMovie movie;
    std::vector<FrameBuffers> buffers;   // one set a worker
    const char* hint = "";               // a line of advice before "Stopping", line end included
};

// Closes what is open; a movie not yet in place goes with its temporary file.
static void closeEverything(Run* run)
{
    clearProgress();
    releaseOutputMovie(&run->movie);
    closePanelMovies(&run->grid);
    for (FrameBuffers& buffers : run->buffers)
        freeFrameBuffers(&buffers);
    run->buffers.clear();
}

// Interrupted, terminated or hung up: nothing of the new movie stays, the lines printed so
// far are out whole, and the process ends by the same signal.
[[noreturn]] static void stopAsRequested(Run* run)
{
    closeEverything(run);
    osStopAsRequested();
}

// Every stop of a started run goes through here: the reason, a hint where there is one,
// "Stopping", and what was open is closed. Returns the exit status of a failed run.
static int stopRun(Run* run, const char* format, ...)
{
    if (osStopRequested() != 0)
        stopAsRequested(run);
    char reason[1024];
    std::va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(reason, sizeof reason, format, arguments);
    va_end(arguments);
    say("%s\n%sStopping\n", reason, run->hint);
    closeEverything(run);
    return 1;
}

// A stage that printed its own reason, or none when the process was asked to stop.
static int stoppedAt(Run* run, StageResult stage)
{
    if (osStopRequested() != 0)
        stopAsRequested(run);
    closeEverything(run);
    return stage == stageStopDone ? 0 : 1;
}

// The kind of stop an output failure is, for programs (--porcelain).
static const char* stopKindOf(OutputFailure failure)
{
    switch (failure) {
    case noRoom:
    case beyondFileLimit:
        return "room";
    case lockKept:
    case lockInTheWay:
        return "lock";
    case partIsInput:
    case partElsewhere:
    case partNotOwn:
    case partNotWhole:
        return "part";
    default:
        return "output";
    }
}

static int stopForOutput(Run* run, const OutputResult& result, const char* movieVerb)
{
    const char* name = run->movieName;
    noteStop(stopKindOf(result.failure));
    switch (result.failure) {
    case movieFailed:
        return stopRun(run, "Could not %s output movie %s: %s", movieVerb, name, osErrorText(result.error));
    case descriptorFailed:
        return stopRun(run, "Could not write movie descriptor %s.mg: %s", name, osErrorText(result.error));
    case directoryHasLineEnd:
        return stopRun(run, "Could not write movie descriptor %s.mg: the current directory's name holds a line end",
                       name);
    case noRoom:
        return stopRun(run, "Not enough room for output movie %s: %lld bytes needed, %lld bytes free", name,
                       (long long)result.needed, (long long)result.available);
    case beyondFileLimit:
        return stopRun(run, "Output movie %s would be %lld bytes, more than the limit of %lld bytes a file may have",
                       name, (long long)result.needed, (long long)result.available);
    case lockKept:
        return stopRun(run, "Could not %s output movie %s: another process has held %s for %d seconds", movieVerb,
                       name, result.lockPath.c_str(), lockWaitSeconds);
    case streamTaken:
        return stopRun(run, "Could not %s output movie %s: another run of Mozaro is writing into it", movieVerb, name);
    case lockInTheWay:
        return stopRun(run, "Could not %s output movie %s: %s is in the way (%s), not a lock file a run can take",
                       movieVerb, name, result.lockPath.c_str(), result.detail.c_str());
    case partIsInput:
        return stopRun(run, "Could not %s output movie %s: %s is one of the panel movies", movieVerb, name,
                       run->commandLine.commitFile);
    case partElsewhere:
        return stopRun(run, "Could not %s output movie %s: %s lies outside the movie's folder", movieVerb, name,
                       run->commandLine.commitFile);
    case partNotOwn:
        return stopRun(run, "Could not %s output movie %s: %s is %s, not a file of this user's own", movieVerb, name,
                       run->commandLine.commitFile, result.detail.c_str());
    case linkNotOwn:
        return stopRun(run, "Could not %s output movie %s: %s, which is not followed", movieVerb, name,
                       result.detail.c_str());
    case partNotWhole:
        return stopRun(run, "Could not %s output movie %s: %s holds %lld bytes, not the %lld of the whole movie",
                       movieVerb, name, run->commandLine.commitFile, (long long)result.available,
                       (long long)result.needed);
    case outputFine:
        break;
    }
    return 0;
}

static void sayLockWait(const char* lockPath)
{
    say("Waiting for %s: another run is putting a movie in place in that folder\n", lockPath);
}

static void sayCommitLeft(const char* commitPath)
{
    say("Leaving %s alone: it names this movie but is not a commit this user's runs made\n", commitPath);
}

// Threads for the frame loop: one per processor unless asked, never more than frames, and
// one alone where a pipe, FIFO or device must be read or written in order.
static std::int32_t workersFor(const Run& run)
{
    const RunParameters& p = run.runParameters;
    std::int32_t workers = run.commandLine.jobs > 0 ? run.commandLine.jobs : osProcessorCount();
    if (anyPanelIsAStream(run.grid) || run.movie.inPlace)
        workers = 1;
    if (workers > p.nf)
        workers = p.nf;
    return workers > 1 ? workers : 1;
}

// The frame buffers of every worker, had before anything is created.
static int allocateBuffers(Run* run, std::int32_t workers)
{
    const FrameBufferPlan plan = planFrameBuffers(run->runParameters, 0);
    run->buffers.assign(std::size_t(workers), FrameBuffers{});
    for (FrameBuffers& buffers : run->buffers)
        if (!allocateFrameBuffers(plan, &buffers) && (noteStop("memory"), true))
            return stopRun(run, "Could not get %lld bytes of memory for the frame buffers",
                           (long long)(plan.totalBytes * workers));
    return 0;
}

static int reportFrameLoopStop(Run* run, const FrameLoopResult& stop, const char* movie)
{
    const char* panel = run->grid.panelNames[stop.stream.panel];
    const long long frame = (long long)stop.frame;
    noteStop(stop.stream.status == outputMovieFailed ? "output" : "input");
    switch (stop.stream.status) {
    case streamGoesOn:
        break;
    case streamStopRequested:
        stopAsRequested(run);
    case panelMovieEnded:
        return stopRun(run, "Input movie %s ended before frame %lld was complete", panel, frame);
    case panelMovieFailed:
        return stopRun(run, "Could not read input movie %s at frame %lld: %s", panel, frame,
                       osErrorText(stop.stream.error));
    case outputMovieFailed:
        return stopRun(run, "Could not write output movie %s: %s", movie, osErrorText(stop.stream.error));
    }
    return 0;
}

static void startProgressOf(const Run& run)
{
    const RunParameters& p = run.runParameters;
    const ProgressChoice choice = run.commandLine.progress;
    const bool shown = choice == progressAlways || (choice == progressWhereWatched && osStandardErrorIsTerminal());
    startProgress(shown, p.nf, p.tileFrameBytes * p.ntx * p.nty);
}

// --check --porcelain: the same for programs, one key=value a line (docs/stops.md).
static void tellCheck(const Run& run, const OutputResult& room, const FrameBufferPlan& plan, std::int32_t workers,
                      std::int32_t streams)
{
    const RunParameters& p = run.runParameters;
    tell("movie", run.movieName);
    tell("descriptor", run.movie.descriptorName);
    tell("width", p.outWidth);
    tell("height", p.outHeight);
    tell("frames", p.nf);
    tell("bytes", p.outMovieBytes);
    tell("mosaicWidth", p.mosaicWidth);
    tell("mosaicHeight", p.mosaicHeight);
    tell("firstFrame", p.firstFrame);
    tell("lastFrame", p.nf > 0 ? p.framesNeeded - 1 : -1);
    tell("frameStep", p.frameStep);
    tell("fewestFrames", run.grid.fewestFrames);
    tell("streams", streams);
    tell("memoryPerThread", plan.totalBytes);
    tell("threads", workers);
    tell("roomNeeded", run.movie.inPlace ? 0 : room.needed);
    tell("roomFree", run.movie.inPlace ? -1 : room.available);
}

// --check: what the merge would make and need, once every check of a real run has passed.
static int reportCheck(Run* run, std::int32_t workers)
{
    const RunParameters& p = run->runParameters;
    const OutputResult room = run->movie.inPlace ? OutputResult{outputFine, 0} : checkMovieRoom(run->movie);
    if (room.failure != outputFine)
        return stopForOutput(run, room, "create");
    say("Movie: %s, %d frames of %d x %d pixels, %lld bytes\n", run->movieName, p.nf, p.outWidth, p.outHeight,
        (long long)p.outMovieBytes);
    if (p.gapX > 0 || p.gapY > 0)
        say("Mosaic: %d x %d pixels, gaps of %d columns and %d rows filled with %02X%02X%02X\n", p.mosaicWidth,
            p.mosaicHeight, p.gapX, p.gapY, p.fill[0], p.fill[1], p.fill[2]);
    else if (p.overlapX > 0 || p.overlapY > 0)
        say("Mosaic: %d x %d pixels, neighbours overlapping by %d columns and %d rows\n", p.mosaicWidth,
            p.mosaicHeight, p.overlapX, p.overlapY);
    if (p.roundMeans)
        say("Means: rounded to the nearest value\n");
    if (p.nf > 0)
        say("Frames read: %d to %lld of every panel, every %d\n", p.firstFrame, (long long)(p.framesNeeded - 1),
            p.frameStep);
    std::int32_t streams = 0;
    for (const PanelMovie& panel : run->grid.panelFiles)
        streams += panel.stream ? 1 : 0;
    const std::int32_t files = p.ntx * p.nty - streams;
    if (files > 0)
        say("Panel movies: %d regular files holding %lld to %lld whole frames\n", files,
            (long long)run->grid.fewestFrames, (long long)run->grid.mostFrames);
    if (streams > 0)
        say("Panel movies: %d pipes, FIFOs or devices, read as they come\n", streams);
    if (run->movie.inPlace)
        say("Room: a pipe or device, written as it reads\n");
    else if (room.available >= 0)
        say("Room: %lld bytes needed, %lld bytes free to %s\n", (long long)room.needed, (long long)room.available,
            room.administrators ? "root, the blocks kept back for the administrator included" : "this user");
    const FrameBufferPlan plan = planFrameBuffers(p, 0);
    say("Memory: %lld bytes of frame buffers for %d threads\n", (long long)(plan.totalBytes * workers), workers);
    if (run->commandLine.porcelain)
        tellCheck(*run, room, plan, workers, streams);
    closeEverything(run);
    say("Check passed: the merge would start\n");
    return 0;
}

// --part FILE --at K: the frames go into FILE at their places; the movie is put in place by
// the run that gets --commit.
static int mergePart(Run* run)
{
    const RunParameters& p = run->runParameters;
    const char* part = run->commandLine.partFile;
    StageResult stage = openPanelMovies(p, run->commandLine.dropPartialFrame, &run->grid);
    if (stage != stageGoOn && (noteStop("input"), true))
        return stoppedAt(run, stage);
    OutputResult opened = openMoviePart(&run->movie, part, run->commandLine.partAt, p, panelIdentities(p, run->grid));
    if (opened.failure != outputFine && (noteStop("part"), true))
        return stopRun(run, "Could not write part %s: %s", part,
                       opened.error != 0                  ? osErrorText(opened.error)
                       : opened.failure == partIsInput ? "it is one of the panel movies"
                                                       : "not a regular file");
    const std::int32_t workers = workersFor(*run);
    if (allocateBuffers(run, workers) != 0)
        return 1;
    startProgressOf(*run);
    MovieFrames frames{&run->movie, p.outFrameBytes};
    const FrameLoopResult loop =
        runFrameLoop(p, run->grid.panelFiles.data(), movieFrameSink(&frames), run->buffers.data(), workers,
                     !run->commandLine.quiet);
    if (loop.stream.status != streamGoesOn)
        return reportFrameLoopStop(run, loop, part);
    const int error = finishMoviePart(&run->movie);
    if (error != 0 && (noteStop("part"), true))
        return stopRun(run, "Could not write part %s: %s", part, osErrorText(error));
    closeEverything(run);
    say("Finished merging and blending frames %lld to %lld into part %s from movie frame %lld on\n",
        (long long)p.firstFrame, (long long)(p.framesNeeded > 0 ? p.framesNeeded - 1 : p.firstFrame), part,
        (long long)run->commandLine.partAt);
    return 0;
}

// The merge, and --commit, which puts a job's whole movie in place as a merge puts its own.
static int makeMovie(Run* run, std::int32_t workers)
{
    const CommandLine& commandLine = run->commandLine;
    const RunParameters& p = run->runParameters;
    const bool merging = commandLine.mode == modeMerge;
    OutputResult created = merging ? createOutputMovie(&run->movie) : adoptOutputMovie(&run->movie, commandLine.commitFile);
    if (created.failure != outputFine)
        return stopForOutput(run, created, "create");
    startProgressOf(*run);
    if (merging) {
        MovieFrames frames{&run->movie, p.outFrameBytes};
        const FrameLoopResult loop = runFrameLoop(p, run->grid.panelFiles.data(), movieFrameSink(&frames),
                                                  run->buffers.data(), workers, !commandLine.quiet);
        if (loop.stream.status != streamGoesOn)
            return reportFrameLoopStop(run, loop, run->movieName);
    }
    OutputResult finished = finishOutputMovie(&run->movie);
    if (finished.failure != outputFine)
        return stopForOutput(run, finished, "write");
    // Put in place: a request to stop that came meanwhile finds the run done.
    closeEverything(run);
    say("Finished merging and blending movie %s\n", run->movieName);
    return 0;
}

// A run over panels, in the mode its command line chose: a part of a job; or, once the name
// is confirmed and the movie's place, every input and the memory are known to be good, a
// check, a merge or a commit. Nothing is created before that: a run that cannot finish
// never touches an earlier movie.
static int runOverPanels(Run* run, int argc, char** argv)
{
    RunParameters& p = run->runParameters;
    CommandLine& commandLine = run->commandLine;
    StageResult stage = parseRunParameters(argc, argv, &p, &commandLine);
    if (stage != stageGoOn)
        return stage == stageStopDone ? 0 : 1;
    fillPanelNames(argv, p, commandLine, &run->grid);
    listPanelLayout(p, run->grid);
    deriveSizes(&p);
    if (commandLine.mode == modePart)
        return mergePart(run);

    stage = confirmMovieName(run->grid, p.ntx * p.nty, commandLine, osStandardInput(), run->movieName);
    if (stage != stageGoOn)
        return stoppedAt(run, stage);
    OutputResult prepared = prepareOutputMovie(run->movieName, p, &run->movie);
    run->movie.sync = commandLine.sync;
    run->movie.onLockWait = sayLockWait;
    run->movie.onCommitLeft = sayCommitLeft;
    if (prepared.failure != outputFine) {
        char proposed[movieNameCapacity];
        proposeMovieName(run->grid.firstNamed, proposed);
        if (prepared.failure == movieFailed && osNotFound(prepared.error) && osStoredName(proposed) == run->movieName)
            run->hint = "The proposed name puts the movie in a folder that does not exist; name it with -o NAME\n";
        return stopForOutput(run, prepared, "create");
    }
    // A job's movie is put in place by a rename, and its panels are not read again.
    const bool jobsMovie = commandLine.commitFile != nullptr;
    // A pipe or device, written as it reads, would get nothing of a rename, and only its
    // descriptor would appear.
    if (jobsMovie && run->movie.inPlace && (noteStop("part"), true))
        return stopRun(run, "Could not create output movie %s: --commit cannot put a file in place of a pipe or device",
                       run->movieName);
    if (!jobsMovie) {
        stage = openPanelMovies(p, commandLine.dropPartialFrame, &run->grid);
        if (stage != stageGoOn && (noteStop("input"), true))
            return stoppedAt(run, stage);
    }
    run->movie.inputs = panelIdentities(p, run->grid);
    const std::int32_t workers = jobsMovie ? 0 : workersFor(*run);
    if (allocateBuffers(run, workers) != 0)
        return 1;
    return commandLine.mode == modeCheck ? reportCheck(run, workers) : makeMovie(run, workers);
}

// Standard output is checked like any other file: messages that could not be written make
// a failed run, said where it still can be.
static int checkStandardOutput(int status, bool outputWasClosed)
{
    errno = 0;
    const bool flushed = std::fflush(stdout) == 0;
    const int flushError = errno;
    if (outputWasClosed) {
        std::fputs("Mozaro: standard output was closed; the run's messages were lost\n", stderr);
        return 1;
    }
    if (standardOutputError() != 0) {
        std::fprintf(stderr, "Mozaro: could not write to standard output: %s\n", osErrorText(standardOutputError()));
        return 1;
    }
    if (!flushed || std::ferror(stdout)) {
        if (flushError != 0)
            std::fprintf(stderr, "Mozaro: could not write to standard output: %s\n", std::strerror(flushError));
        else
            std::fputs("Mozaro: could not write to standard output\n", stderr);
        return 1;
    }
    return status;
}

int runDriver(int argc, char** argv)
{
    bool outputWasClosed = false;
    osPrepareProcess(&outputWasClosed);
    static Run run;
    int status = 0;
    switch (aloneMode(argc, argv)) {
    case modeHelp:
        printHelp();
        break;
    case modeVersion:
        printVersion();
        break;
    case modeDescribe:
        status = describeMovie(argv[2]) == stageStopDone ? 0 : 1;
        break;
    default:
        status = runOverPanels(&run, argc, argv);
        // The last line for programs: how the run ended, in a word they can tell apart.
        if (run.commandLine.porcelain)
            tell("stop", notedStop() != nullptr ? notedStop() : status == 0 ? "none" : "failed");
        break;
    }
    return checkStandardOutput(status, outputWasClosed);
}
