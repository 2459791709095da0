#include <cstdarg>
#include <cstdio>

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

static void closeEverything(Run* run)
{
    if (run->movie.file != osNoFile)
        (void)closeOutputMovie(&run->movie);
    closePanelMovies(&run->grid);
    freeFrameBuffers(&run->buffers);
}

// Every stop of a started run goes through here: the reason, "Stopping", and what was open
// is closed. Returns the exit status of a failed run.
static int stopRun(Run* run, const char* format, ...)
{
    std::va_list reason;
    va_start(reason, format);
    std::vprintf(format, reason);
    va_end(reason);
    std::fputs("\nStopping\n", stdout);
    closeEverything(run);
    return 1;
}

static int exitStatusOf(StageResult result)
{
    return result == stageStopDone ? 0 : 1;
}

int runDriver(int argc, char** argv)
{
    static Run run;
    run.movie.file = osNoFile;
    RunParameters& p = run.runParameters;

    StageResult stage = parseRunParameters(argc, argv, &p);
    if (stage != stageGoOn)
        return exitStatusOf(stage);
    fillPanelNames(argv, &run.grid);
    listPanelLayout(p, run.grid);
    deriveSizes(&p);

    const std::int32_t panels = p.ntx * p.nty;
    stage = confirmMovieName(run.grid, panels, stdin, run.movieName);
    if (stage != stageGoOn)
        return exitStatusOf(stage);

    const FrameBufferPlan plan = planFrameBuffers(p, 0);
    if (!allocateFrameBuffers(plan, &run.buffers))
        return stopRun(&run, "Could not get %lld bytes of memory for the frame buffers", (long long)plan.totalBytes);
    int error = openOutputMovie(run.movieName, &run.movie);
    if (error != 0)
        return stopRun(&run, "Could not create output movie %s: %s", run.movieName, osErrorText(error));
    stage = openPanelMovies(p, &run.grid);
    if (stage != stageGoOn) {
        closeEverything(&run);
        return exitStatusOf(stage);
    }

    for (std::int32_t k = 0; k < p.nf; k++) {
        StreamResult frame = streamFrame(p, run.grid.panelFiles.data(), &run.buffers, &run.movie);
        const char* panel =
            run.grid.panelNames[std::size_t(frame.panelRow) * std::size_t(p.ntx) + std::size_t(frame.panelColumn)];
        switch (frame.status) {
        case streamGoesOn:
            break;
        case panelMovieEnded:
            return stopRun(&run, "Input movie %s ended before frame %d was complete", panel, k);
        case panelMovieFailed:
            return stopRun(&run, "Could not read input movie %s at frame %d: %s", panel, k, osErrorText(frame.error));
        case outputMovieFailed:
            return stopRun(&run, "Could not write output movie %s: %s", run.movieName, osErrorText(frame.error));
        }
        std::printf("Finished Frame: %4d\n", k);
    }

    error = closeOutputMovie(&run.movie);
    closeEverything(&run);
    if (error != 0)
        return stopRun(&run, "Could not write output movie %s: %s", run.movieName, osErrorText(error));
    std::printf("Finished merging and blending movie %s\n", run.movieName);

    error = writeMovieDescriptor(run.movieName, p);
    if (error != 0)
        return stopRun(&run, "Could not write movie descriptor %s.mg: %s", run.movieName, osErrorText(error));
    return 0;
}
