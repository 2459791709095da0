// The run's messages on standard output, each flushed as it is printed; the progress line
// and the system's reasons on standard error.
#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <string>

#include "platform/process.h"
#include "run/run.h"

static int firstOutputError = 0;
static bool messagesOnStandardError = false;
static const char* stopKey = nullptr;

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
    // Formed on the stack: a progress line of the frame loop allocates nothing.
    char text[2048];
    std::string longer;
    std::va_list arguments;
    va_start(arguments, format);
    const int n = std::vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    const char* message = text;
    if (n >= int(sizeof text)) {
        longer.resize(std::size_t(n) + 1);
        va_start(arguments, format);
        std::vsnprintf(&longer[0], longer.size(), format, arguments);
        va_end(arguments);
        message = longer.c_str();
    }
    int error = 0;
    // Standard error in text mode, as the system ends its lines.
    if (n > 0 && messagesOnStandardError)
        (void)(std::fputs(message, stderr) >= 0 && std::fflush(stderr) == 0);
    else if (n > 0)
        error = osWriteStandardOutput(message, std::size_t(n));
    if (error != 0 && firstOutputError == 0)
        firstOutputError = error;
    if (redraw)
        drawProgress();
}

void sayOnStandardError(const char* format, ...)
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


void sendMessagesToStandardError()
{
    messagesOnStandardError = true;
}

void tell(const char* key, const std::string& value)
{
    const std::string line = std::string(key) + "=" + value + "\n";
    const int error = osWriteStandardOutput(line.data(), line.size());
    if (error != 0 && firstOutputError == 0)
        firstOutputError = error;
}

void tell(const char* key, std::int64_t value)
{
    tell(key, std::to_string((long long)value));
}

void noteStop(const char* key)
{
    stopKey = key;
}

const char* notedStop()
{
    return stopKey;
}
