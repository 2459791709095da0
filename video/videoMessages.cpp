// Standard error has one owner, the calling thread: other threads' messages and FFmpeg's
// wait in a queue until it shows them, between frames, with the progress line cleared.
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "platform/process.h"
#include "run/run.h"
#include "video/video.h"

extern "C" {
#include <libavutil/error.h>
#include <libavutil/log.h>
}

static std::mutex waitingLock;
static std::string waiting;
static thread_local std::string subject;   // the panel or the encoder a thread works for
static thread_local std::string partLine;  // FFmpeg sends a line in pieces

void complain(const char* format, ...)
{
    char text[2048];
    std::va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    std::lock_guard<std::mutex> hold(waitingLock);
    waiting += "mozaro-video: ";
    waiting += text;
    waiting += '\n';
}

void showComplaints()
{
    std::string text;
    {
        std::lock_guard<std::mutex> hold(waitingLock);
        text.swap(waiting);
    }
    if (text.empty())
        return;
    clearProgress();
    osWriteStandardError(text.data(), text.size());
}

void setMessageSubject(const std::string& name)
{
    subject = name;
}

static void ffmpegSays(void* context, int level, const char* format, std::va_list arguments)
{
    if (level > AV_LOG_ERROR || level > av_log_get_level())
        return;
    char text[1024];
    std::vsnprintf(text, sizeof text, format, arguments);
    (void)context;
    partLine += text;
    const std::size_t end = partLine.find('\n');
    if (end == std::string::npos)
        return;
    const std::string line = partLine.substr(0, end);
    partLine.clear();
    if (subject.empty())
        complain("FFmpeg: %s", line.c_str());
    else
        complain("FFmpeg, %s: %s", subject.c_str(), line.c_str());
}

void routeFfmpegMessages()
{
    av_log_set_callback(ffmpegSays);
}

std::string ffmpegErrorText(int error)
{
    if (error == frameChangedShape)
        return "its frames change size or pixel format";
    if (error == frameNotFound)
        return "the range's first frame is not where the panel's timestamps place it";
    if (error > 0)
        return osErrorText(error);
    char text[AV_ERROR_MAX_STRING_SIZE] = "";
    av_strerror(error, text, sizeof text);
    return text;
}
