// The run's messages on standard output, each flushed as it is printed; the progress line
// and the system's reasons on standard error.
#include <cerrno>
#include <cstdarg>
#include <cstdio>

#include "platform/process.h"
#include "run/run.h"

static int firstOutputError = 0;

struct Progress {
    bool shown;
    bool drawn;
    std::int64_t frames;
    std::int64_t bytesPerFrame;
    std::int64_t started;    // milliseconds
    std::int64_t drawnAt;
    std::int64_t framesDone;
};
static Progress progress = {false, false, 0, 0, 0, 0, 0};

static const char* const clearLine = "\r\033[K";

void clearProgress()
{
    if (progress.drawn)
        osWriteStandardError(clearLine, 4);
    progress.drawn = false;
}

static void drawProgress()
{
    char line[160];
    const std::int64_t elapsed = osClockMilliseconds() - progress.started;
    const double seconds = elapsed > 0 ? elapsed / 1000.0 : 0.001;
    const double megabytes = double(progress.framesDone) * double(progress.bytesPerFrame) / 1e6;
    const double percent = progress.frames > 0 ? 100.0 * double(progress.framesDone) / double(progress.frames) : 100.0;
    int n = std::snprintf(line, sizeof line, "%s%lld of %lld frames, %.0f%%, %.1f MB/s", clearLine,
                          (long long)progress.framesDone, (long long)progress.frames, percent, megabytes / seconds);
    if (progress.framesDone > 0 && progress.framesDone < progress.frames) {
        const long long left = (long long)(seconds * double(progress.frames - progress.framesDone) /
                                           double(progress.framesDone) + 0.5);
        n += std::snprintf(line + n, sizeof line - std::size_t(n), ", %lld:%02lld:%02lld left", left / 3600,
                           left / 60 % 60, left % 60);
    }
    osWriteStandardError(line, std::size_t(n));
    progress.drawn = true;
    progress.drawnAt = osClockMilliseconds();
}

void startProgress(bool shown, std::int64_t frames, std::int64_t bytesPerFrame)
{
    progress = Progress{shown, false, frames, bytesPerFrame, osClockMilliseconds(), 0, 0};
    if (shown && frames > 0)
        drawProgress();
}

void showProgress(std::int64_t framesDone)
{
    progress.framesDone = framesDone;
    // A few times a second is enough to see it move, and little enough to cost nothing.
    if (progress.shown && osClockMilliseconds() - progress.drawnAt >= 200)
        drawProgress();
}

void say(const char* format, ...)
{
    const bool redraw = progress.drawn;
    clearProgress();
    std::va_list arguments;
    va_start(arguments, format);
    errno = 0;
    const bool written = std::vprintf(format, arguments) >= 0 && std::fflush(stdout) == 0;
    va_end(arguments);
    if (!written && firstOutputError == 0)
        firstOutputError = errno != 0 ? errno : EIO;
    if (redraw)
        drawProgress();
}

void complain(const char* format, ...)
{
    const bool redraw = progress.drawn;
    clearProgress();
    std::va_list arguments;
    va_start(arguments, format);
    std::fputs("Mozaro: ", stderr);
    std::vfprintf(stderr, format, arguments);
    std::fflush(stderr);
    va_end(arguments);
    if (redraw)
        drawProgress();
}

int standardOutputError()
{
    return firstOutputError;
}
