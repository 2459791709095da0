// mozaro-video --join: the segments a job's tasks encoded, each a range of the wall's frames
// starting with a keyframe and carrying the range's times, joined into one video by copying
// their packets (nothing is decoded or encoded), times rescaled to the video's own. The
// video is written to a temporary beside it and renamed into place once whole.
#include <cstdio>
#include <cstring>

#include "platform/directories.h"
#include "run/run.h"
#include "video/video.h"

namespace {

struct Segment {
    AVFormatContext* format = nullptr;
    int stream = -1;
};

std::string openSegment(const std::string& name, Segment* segment)
{
    const std::string url = name.find("://") != std::string::npos ? name : "file:" + name;
    int error = avformat_open_input(&segment->format, url.c_str(), nullptr, nullptr);
    if (error >= 0)
        error = avformat_find_stream_info(segment->format, nullptr);
    if (error < 0)
        return "cannot read segment " + name + ": " + ffmpegErrorText(error);
    segment->stream = av_find_best_stream(segment->format, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (segment->stream < 0 || segment->format->nb_streams != 1)
        return "segment " + name + " is not one video stream";
    return "";
}

// A segment must be encoded as the first was: the same codec, size and pixel format.
std::string refuseUnlike(const std::string& name, const AVStream* stream, const std::string& firstName,
                         const AVCodecParameters* b)
{
    const AVCodecParameters* a = stream->codecpar;
    if (a->codec_id != b->codec_id || a->width != b->width || a->height != b->height || a->format != b->format)
        return "segment " + name + " is not encoded as segment " + firstName + " is (codec, size or pixel format)";
    return "";
}

int stop(VideoOut* video, Segment* segment, const std::string& reason)
{
    if (segment != nullptr)
        avformat_close_input(&segment->format);
    releaseVideo(video);
    showComplaints();
    std::fprintf(stderr, "mozaro-video: %s; nothing was written\n", reason.c_str());
    return 1;
}

}  // namespace

int joinSegments(int argc, char** argv)
{
    if (argc < 4) {
        std::fputs("usage: mozaro-video --join OUT.mp4|OUT.mkv|OUT.mov SEGMENT...\n", stderr);
        return 1;
    }
    const std::string name = argv[2];
    if (containerOf(name).empty())
        return stop(nullptr, nullptr, "the video " + name + " must end in .mp4, .mkv or .mov, which say its container");
    std::vector<osFileIdentity> inputs;
    for (int k = 3; k < argc; k++) {
        osFileIdentity identity;
        if (osIdentifyFile(argv[k], &identity))
            inputs.push_back(identity);
    }
    osFileIdentity result;
    if (osIdentifyFile(name.c_str(), &result))
        for (const osFileIdentity& input : inputs)
            if (osSameFile(input, result))
                return stop(nullptr, nullptr, "the video " + name + " would overwrite one of its segments");

    Segment first;
    std::string failure = openSegment(argv[3], &first);
    if (!failure.empty())
        return stop(nullptr, &first, failure);
    VideoOut* video = nullptr;
    failure = openCopiedVideo(name, first.format->streams[first.stream], inputs, &video);
    if (!failure.empty())
        return stop(video, &first, failure);
    AVPacket* packet = av_packet_alloc();
    AVCodecParameters* firstParameters = avcodec_parameters_alloc();
    if (firstParameters == nullptr || avcodec_parameters_copy(firstParameters, first.format->streams[first.stream]->codecpar) < 0)
        av_packet_free(&packet);
    std::int64_t lastTime = INT64_MIN;   // decoding time of the last packet written, in AV_TIME_BASE units
    for (int k = 3; k < argc; k++) {
        Segment segment;
        failure = k == 3 ? "" : openSegment(argv[k], &segment);
        if (k == 3)
            std::swap(segment, first);
        const AVStream* stream = segment.format != nullptr ? segment.format->streams[segment.stream] : nullptr;
        if (failure.empty() && k > 3)
            failure = refuseUnlike(argv[k], stream, argv[3], firstParameters);
        int error = 0;
        while (failure.empty() && packet != nullptr && (error = av_read_frame(segment.format, packet)) >= 0) {
            if (packet->stream_index != segment.stream) {
                av_packet_unref(packet);
                continue;
            }
            const std::int64_t time = packet->dts != AV_NOPTS_VALUE ? packet->dts : packet->pts;
            const std::int64_t at = time == AV_NOPTS_VALUE ? lastTime
                                                           : av_rescale_q(time, stream->time_base, AV_TIME_BASE_Q);
            if (time != AV_NOPTS_VALUE && lastTime != INT64_MIN && at <= lastTime)
                failure = "the times of segment " + std::string(argv[k]) + " do not follow those of the segment before";
            lastTime = at;
            if (failure.empty()) {
                error = writeCopiedPacket(video, packet, stream->time_base);
                if (error < 0)
                    failure = "cannot write the video " + name + ": " + ffmpegErrorText(error);
            }
            av_packet_unref(packet);
        }
        if (failure.empty() && error != AVERROR_EOF && error < 0)
            failure = "cannot read segment " + std::string(argv[k]) + ": " + ffmpegErrorText(error);
        if (failure.empty() && packet == nullptr)
            failure = "out of memory";
        if (!failure.empty()) {
            av_packet_free(&packet);
            avcodec_parameters_free(&firstParameters);
            return stop(video, &segment, failure);
        }
        avformat_close_input(&segment.format);
    }
    av_packet_free(&packet);
    avcodec_parameters_free(&firstParameters);
    const int error = finishCopiedVideo(video);
    if (error != 0)
        return stop(video, nullptr, "cannot write the video " + name + ": " + ffmpegErrorText(error));
    releaseVideo(video);
    say("Joined %d segments into video %s\n", argc - 3, name.c_str());
    return 0;
}
