#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "frames/frames.h"
#include "output/output.h"
#include "run/run.h"

// Everything a run holds open between its set-up and its end.
struct Run {
    RunParameters runParameters;
    PanelGrid grid;
    char movieName[movieNameCapacity];
    OutputMovie movie;
    FrameBuffers buffers;
};

// Closes what is open; a movie not yet in place goes with its temporary file.
static void closeEverything(Run* run)
{
    abandonOutputMovie(&run->movie);
    closePanelMovies(&run->grid);
    freeFrameBuffers(&run->buffers);
}

// Interrupted, terminated or hung up: nothing of the new movie stays, the lines printed so
// far reach standard output whole, and the process ends by the same signal.
[[noreturn]] static void stopAsRequested(Run* run)
{
    closeEverything(run);
    std::fflush(stdout);
    osStopAsRequested();
}

// Every stop of a started run goes through here: the reason, "Stopping", and what was open
// is closed. Returns the exit status of a failed run.
static int stopRun(Run* run, const char* format, ...)
{
    if (osStopRequested() != 0)
        stopAsRequested(run);
    std::va_list reason;
    va_start(reason, format);
    std::vprintf(format, reason);
    va_end(reason);
    std::fputs("\nStopping\n", stdout);
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

static int stopForOutput(Run* run, OutputResult result, const char* movieVerb)
{
    const char* name = run->movieName;
    switch (result.failure) {
    case movieFailed:
        return stopRun(run, "Could not %s output movie %s: %s", movieVerb, name, osErrorText(result.error));
    case descriptorFailed:
        return stopRun(run, "Could not write movie descriptor %s.mg: %s", name, osErrorText(result.error));
    case directoryHasLineEnd:
        return stopRun(run, "Could not write movie descriptor %s.mg: the current directory's name holds a line end",
                       name);
    case outputFine:
        break;
    }
    return 0;
}

static int merge(Run* run, int argc, char** argv)
{
    RunParameters& p = run->runParameters;
    CommandLine commandLine;
    StageResult stage = parseRunParameters(argc, argv, &p, &commandLine);
    if (stage != stageGoOn)
        return stage == stageStopDone ? 0 : 1;
    fillPanelNames(argv, commandLine, &run->grid);
    listPanelLayout(p, run->grid);
    deriveSizes(&p);

    stage = confirmMovieName(run->grid, p.ntx * p.nty, commandLine, osStandardInput(), run->movieName);
    if (stage != stageGoOn)
        return stoppedAt(run, stage);

    // Nothing is created before the output's place, every input and the memory are known
    // to be good: a run that cannot finish never touches an earlier movie.
    OutputResult prepared = prepareOutputMovie(run->movieName, p, &run->movie);
    if (prepared.failure != outputFine)
        return stopForOutput(run, prepared, "create");
    stage = openPanelMovies(p, &run->grid);
    if (stage != stageGoOn)
        return stoppedAt(run, stage);
    const FrameBufferPlan plan = planFrameBuffers(p, 0);
    if (!allocateFrameBuffers(plan, &run->buffers))
        return stopRun(run, "Could not get %lld bytes of memory for the frame buffers", (long long)plan.totalBytes);
    int error = createOutputMovie(&run->movie);
    if (error != 0)
        return stopRun(run, "Could not create output movie %s: %s", run->movieName, osErrorText(error));

    for (std::int32_t k = 0; k < p.nf; k++) {
        StreamResult frame = streamFrame(p, run->grid.panelFiles.data(), &run->buffers, &run->movie);
        const char* panel =
            run->grid.panelNames[std::size_t(frame.panelRow) * std::size_t(p.ntx) + std::size_t(frame.panelColumn)];
        switch (frame.status) {
        case streamGoesOn:
            break;
        case streamStopRequested:
            stopAsRequested(run);
        case panelMovieEnded:
            return stopRun(run, "Input movie %s ended before frame %d was complete", panel, k);
        case panelMovieFailed:
            return stopRun(run, "Could not read input movie %s at frame %d: %s", panel, k, osErrorText(frame.error));
        case outputMovieFailed:
            return stopRun(run, "Could not write output movie %s: %s", run->movieName, osErrorText(frame.error));
        }
        std::printf("Finished Frame: %4d\n", k);
    }

    OutputResult finished = finishOutputMovie(&run->movie);
    if (finished.failure != outputFine)
        return stopForOutput(run, finished, "write");
    closeEverything(run);
    if (osStopRequested() != 0)
        stopAsRequested(run);
    std::printf("Finished merging and blending movie %s\n", run->movieName);
    return 0;
}

// Standard output is checked like any other file: messages that could not be written make
// a failed run, said where it still can be.
static int checkStandardOutput(int status, bool outputWasClosed)
{
    errno = 0;
    const bool flushed = std::fflush(stdout) == 0;
    const int error = errno;
    if (outputWasClosed) {
        std::fputs("Mozaro: standard output was closed; the run's messages were lost\n", stderr);
        return 1;
    }
    if (!flushed || std::ferror(stdout)) {
        if (!flushed && error != 0)
            std::fprintf(stderr, "Mozaro: could not write to standard output: %s\n", std::strerror(error));
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
    run.movie.file = osNoFile;
    return checkStandardOutput(merge(&run, argc, argv), outputWasClosed);
}
