// The frame loop. Frames are independent of one another: every worker takes the next frame
// not yet taken, reads it from every panel at its offset, reduces it with buffers of its
// own and writes it at its place in the movie, while the calling thread prints the
// "Finished Frame" lines in frame order as frames complete. Workers run at most `window`
// frames ahead of the last line printed, so that what is known of finished frames stays a
// few bits whatever the frame count. Pipes, FIFOs and devices, which are read and written
// in order only, and sinks that take frames in order (an encoder), are merged by the calling
// thread alone.
#include "platform/process.h"
#include "run/run.h"

// Frames a worker may run ahead of the oldest frame not yet finished, per worker.
static const std::int32_t framesAheadPerWorker = 4;
static const std::int32_t largestWindow = 4096;

struct Shared {
    const RunParameters* p;
    const PanelMovie* panels;
    FrameSink sink;
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

// Frame k of the run as rows for the pipeline.
struct FrameRows {
    const FrameSink* sink;
    std::int64_t frame;
    std::int64_t at;
};

static int writeFrameRows(void* context, const unsigned char* rows, std::int64_t bytes)
{
    FrameRows* f = static_cast<FrameRows*>(context);
    const int error = f->sink->write(f->sink->context, f->frame, f->at, rows, bytes);
    f->at += bytes;
    return error;
}

static StreamResult mergeFrame(const RunParameters& p, const PanelMovie* panels, const FrameSink& sink,
                               std::int64_t k, FrameBuffers* buffers)
{
    FrameRows rows{&sink, k, 0};
    return streamFrame(p, panels, panelFrame(p, k), buffers, RowSink{writeFrameRows, &rows});
}

// Frame k's line and progress, and the sink told, where it listens; the calling thread's.
static StreamResult reportFrame(const RunParameters& p, const FrameSink& sink, std::int64_t k, bool frameLines)
{
    const int error = sink.finished != nullptr ? sink.finished(sink.context, k) : 0;
    if (error != 0)
        return StreamResult{outputMovieFailed, 0, error};
    if (frameLines)
        say("Finished Frame: %4lld\n", (long long)panelFrame(p, k));
    showProgress(k + 1);
    return StreamResult{streamGoesOn, 0, 0};
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
        const StreamResult result = mergeFrame(p, s->panels, s->sink, k, worker->buffers);
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
static FrameLoopResult mergeInOrder(const RunParameters& p, const PanelMovie* panels, const FrameSink& sink,
                                    FrameBuffers* buffers, bool frameLines)
{
    bool streams = false;
    for (std::int32_t k = 0; k < p.ntx * p.nty; k++)
        streams = streams || panels[k].stream;
    for (std::int64_t k = 0; k < p.nf; k++) {
        const std::int64_t skipped = !streams ? 0 : k == 0 ? p.firstFrame : p.frameStep - 1;
        StreamResult result = StreamResult{streamGoesOn, 0, 0};
        if (skipped > 0)
            result = skipStreamFrames(p, panels, skipped, buffers);
        if (result.status == streamGoesOn)
            result = mergeFrame(p, panels, sink, k, buffers);
        if (result.status == streamGoesOn)
            result = reportFrame(p, sink, k, frameLines);
        if (result.status != streamGoesOn)
            return FrameLoopResult{result, panelFrame(p, k)};
    }
    return FrameLoopResult{StreamResult{streamGoesOn, 0, 0}, 0};
}

FrameLoopResult runFrameLoop(const RunParameters& p, const PanelMovie* panels, const FrameSink& sink,
                             FrameBuffers* buffers, std::int32_t workers, bool frameLines)
{
    if (workers <= 1 || sink.inOrder)
        return mergeInOrder(p, panels, sink, buffers, frameLines);
    Shared s;
    s.p = &p;
    s.panels = panels;
    s.sink = sink;
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
        return mergeInOrder(p, panels, sink, buffers, frameLines);
    }

    osEnterMonitor(s.monitor);
    for (;;) {
        std::int64_t ready = 0;
        while (s.reported + ready < s.failedFrame && s.finished[(s.reported + ready) % s.window])
            ready++;
        if (ready > 0) {
            const std::int64_t from = s.reported;
            osLeaveMonitor(s.monitor);
            StreamResult told = StreamResult{streamGoesOn, 0, 0};
            for (std::int64_t k = from; k < from + ready && told.status == streamGoesOn; k++) {
                told = reportFrame(p, sink, k, frameLines);
                if (told.status != streamGoesOn)
                    ready = k - from;
            }
            osEnterMonitor(s.monitor);
            if (told.status != streamGoesOn && from + ready < s.failedFrame) {
                s.failedFrame = from + ready;
                s.failure = told;
            }
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

static int writeMovieFrame(void* context, std::int64_t frame, std::int64_t at, const unsigned char* rows,
                           std::int64_t bytes)
{
    MovieFrames* frames = static_cast<MovieFrames*>(context);
    OutputMovie* movie = frames->movie;
    MovieRows place{movie, movie->inPlace ? osAtPosition : (movie->firstFrameAt + frame) * frames->frameBytes + at};
    return writeMovieRows(&place, rows, bytes);
}

FrameSink movieFrameSink(MovieFrames* frames)
{
    return FrameSink{writeMovieFrame, nullptr, frames->movie->inPlace, frames};
}
