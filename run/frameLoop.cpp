// The frame loop. Frames are independent of one another: every worker takes the next frame
// not yet taken, reads it from every panel at its offset, reduces it with buffers of its
// own and writes it at its place in the movie, while the calling thread prints the
// "Finished Frame" lines in frame order as frames complete. Workers run at most `window`
// frames ahead of the last line printed, so that what is known of finished frames stays a
// few bits whatever the frame count. Pipes, FIFOs and devices, which are read and written
// in order only, are merged by the calling thread alone.
#include "platform/process.h"
#include "run/run.h"

// Frames a worker may run ahead of the oldest frame not yet finished, per worker.
static const std::int32_t framesAheadPerWorker = 4;
static const std::int32_t largestWindow = 4096;

struct Shared {
    const RunParameters* p;
    const PanelMovie* panels;
    OutputMovie* movie;
    osMonitor monitor;
    std::int64_t window;
    std::int64_t nextFrame;      // the next frame to take
    std::int64_t reported;       // frames whose lines are printed
    std::int64_t failedFrame;    // the earliest frame that failed, nf when none
    StreamResult failure;
    bool finished[largestWindow];   // frame k at k % window, for reported <= k < reported + window
};

struct Worker {
    Shared* shared;
    FrameBuffers* buffers;
};

static std::int64_t panelFrame(const RunParameters& p, std::int64_t k)
{
    return p.firstFrame + k * p.frameStep;
}

static void work(void* argument)
{
    Worker* worker = static_cast<Worker*>(argument);
    Shared* s = worker->shared;
    const RunParameters& p = *s->p;
    osEnterMonitor(s->monitor);
    for (;;) {
        while (s->nextFrame < s->failedFrame && s->nextFrame >= s->reported + s->window)
            osWaitInMonitor(s->monitor, 100);
        if (s->nextFrame >= s->failedFrame)
            break;
        const std::int64_t k = s->nextFrame++;
        osLeaveMonitor(s->monitor);
        MovieRows rows{s->movie, (s->movie->firstFrameAt + k) * p.outFrameBytes};
        const StreamResult result =
            streamFrame(p, s->panels, panelFrame(p, k), worker->buffers, RowSink{writeMovieRows, &rows});
        osEnterMonitor(s->monitor);
        if (result.status == streamGoesOn) {
            s->finished[k % s->window] = true;
        } else if (k < s->failedFrame) {
            s->failedFrame = k;
            s->failure = result;
        }
        osWakeAllInMonitor(s->monitor);
    }
    osLeaveMonitor(s->monitor);
}

// The calling thread alone, every file in order: streams skip the frames not wanted.
static FrameLoopResult mergeInOrder(const RunParameters& p, const PanelMovie* panels, OutputMovie* movie,
                                    FrameBuffers* buffers)
{
    MovieRows rows{movie, movie->inPlace ? osAtPosition : movie->firstFrameAt * p.outFrameBytes};
    bool streams = false;
    for (std::int32_t k = 0; k < p.ntx * p.nty; k++)
        streams = streams || panels[k].stream;
    for (std::int64_t k = 0; k < p.nf; k++) {
        const std::int64_t skipped = !streams ? 0 : k == 0 ? p.firstFrame : p.frameStep - 1;
        StreamResult result = StreamResult{streamGoesOn, 0, 0};
        if (skipped > 0)
            result = skipStreamFrames(p, panels, skipped, buffers);
        if (result.status == streamGoesOn)
            result = streamFrame(p, panels, panelFrame(p, k), buffers, RowSink{writeMovieRows, &rows});
        if (result.status != streamGoesOn)
            return FrameLoopResult{result, panelFrame(p, k)};
        sayFinishedFrame(panelFrame(p, k));
        showProgress(k + 1);
    }
    return FrameLoopResult{StreamResult{streamGoesOn, 0, 0}, 0};
}

FrameLoopResult runFrameLoop(const RunParameters& p, const PanelMovie* panels, OutputMovie* movie,
                             FrameBuffers* buffers, std::int32_t workers)
{
    if (workers <= 1)
        return mergeInOrder(p, panels, movie, buffers);
    static Shared s;   // one frame loop a run
    s.p = &p;
    s.panels = panels;
    s.movie = movie;
    s.monitor = osCreateMonitor();
    s.window = std::int64_t(workers) * framesAheadPerWorker < largestWindow ? workers * framesAheadPerWorker
                                                                          : largestWindow;
    s.nextFrame = 0;
    s.reported = 0;
    s.failedFrame = p.nf;
    s.failure = StreamResult{streamGoesOn, 0, 0};
    for (bool& finished : s.finished)
        finished = false;

    std::vector<Worker> team(std::size_t(workers), Worker{&s, nullptr});
    std::vector<osThread> threads;
    for (std::int32_t w = 0; w < workers; w++) {
        team[std::size_t(w)].buffers = &buffers[w];
        osThread thread;
        // A thread the system refuses leaves the work to those it gave.
        if (osStartThread(work, &team[std::size_t(w)], &thread) == 0)
            threads.push_back(thread);
    }
    if (threads.empty()) {
        osDestroyMonitor(s.monitor);
        return mergeInOrder(p, panels, movie, buffers);
    }

    osEnterMonitor(s.monitor);
    for (;;) {
        std::int64_t ready = 0;
        while (s.reported + ready < s.failedFrame && s.finished[(s.reported + ready) % s.window])
            ready++;
        if (ready > 0) {
            const std::int64_t from = s.reported;
            osLeaveMonitor(s.monitor);
            for (std::int64_t k = from; k < from + ready; k++) {
                sayFinishedFrame(panelFrame(p, k));
                showProgress(k + 1);
            }
            osEnterMonitor(s.monitor);
            for (std::int64_t k = from; k < from + ready; k++)
                s.finished[k % s.window] = false;
            s.reported += ready;
            osWakeAllInMonitor(s.monitor);
            continue;
        }
        if (s.reported >= s.failedFrame)
            break;
        if (osStopRequested() != 0) {
            // No frame more is taken; those under way see the request between bands.
            s.failedFrame = s.reported;
            s.failure = StreamResult{streamStopRequested, 0, 0};
            osWakeAllInMonitor(s.monitor);
            break;
        }
        osWaitInMonitor(s.monitor, 100);
    }
    osLeaveMonitor(s.monitor);
    for (osThread thread : threads)
        osJoinThread(thread);
    osDestroyMonitor(s.monitor);
    if (s.failedFrame < p.nf)
        return FrameLoopResult{s.failure, panelFrame(p, s.failedFrame)};
    return FrameLoopResult{StreamResult{streamGoesOn, 0, 0}, 0};
}
