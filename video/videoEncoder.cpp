// The video out: the encoder in this process, the container written through the platform
// layer into a temporary file made new beside the video (never through a name that was
// there), renamed into place once whole, removed on any stop. The temporary is named as
// Mozaro names its own, and held while it is written, so that a run killed outright leaves
// it to the next run in that folder to remove.
#include <algorithm>
#include <cctype>
#include <cstring>

#include "platform/directories.h"
#include "platform/process.h"
#include "video/video.h"

extern "C" {
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
}

static const char* const codecsOffered[] = {"libx264", "libx265", "libsvtav1", "prores_ks", "ffv1"};
static const int ioBufferBytes = 1 << 16;

struct VideoOut {
    Replacement out;                // the file written, beside the video, put in place when whole
    osFileIdentity identity = {};
    std::int64_t position = 0, size = 0;
    int ioError = 0;                // the first write that failed, as FFmpeg's error
    AVFormatContext* format = nullptr;
    AVCodecContext* codec = nullptr;
    AVStream* stream = nullptr;
    AVPacket* packet = nullptr;
    AVFrame* frame = nullptr;       // what the encoder takes
    AVFrame* rgb = nullptr;         // the merged rgb24 frame, padded where the encoder needs it
    SwsContext* toEncoder = nullptr;
    int mergedWidth = 0, mergedHeight = 0;
    int error = 0;                  // the encoder's or the file's last error
    std::int64_t firstFrame = 0;    // frame 0's time, in frames: a range keeps the times it has
};

std::string containerOf(const std::string& name)
{
    std::string ending = name.size() >= 4 ? name.substr(name.size() - 4) : "";
    for (char& c : ending)
        c = char(std::tolower((unsigned char)c));
    return ending == ".mp4" ? "mp4" : ending == ".mkv" ? "matroska" : ending == ".mov" ? "mov" : "";
}

std::string checkCodec(const VideoSettings& settings)
{
    bool offered = false;
    for (const char* name : codecsOffered)
        offered = offered || settings.codec == name;
    if (!offered)
        return "--codec " + settings.codec + " is not one of libx264, libx265, libsvtav1, prores_ks and ffv1";
    const AVCodec* codec = avcodec_find_encoder_by_name(settings.codec.c_str());
    if (codec == nullptr)
        return "--codec " + settings.codec + ": this FFmpeg's libraries have no such encoder";
    const std::string container = containerOf(settings.name);
    const AVOutputFormat* format = av_guess_format(container.c_str(), nullptr, nullptr);
    if (format == nullptr)
        return "this FFmpeg's libraries cannot write " + container + " files";
    // The quality and speed, tried on an encoder of that kind, quietly.
    AVCodecContext* trial = avcodec_alloc_context3(codec);
    if (trial == nullptr)
        return "out of memory";
    const int level = av_log_get_level();
    av_log_set_level(AV_LOG_QUIET);
    const bool crfTaken = settings.crf.empty() || av_opt_set(trial->priv_data, "crf", settings.crf.c_str(), 0) >= 0;
    const bool presetTaken =
        settings.preset.empty() || av_opt_set(trial->priv_data, "preset", settings.preset.c_str(), 0) >= 0;
    av_log_set_level(level);
    avcodec_free_context(&trial);
    if (!crfTaken)
        return "--crf " + settings.crf + " is not a quality that " + settings.codec + " takes";
    // x264's and x265's presets are checked only when the encoder starts.
    static const char* const x26xPresets[] = {"ultrafast", "superfast", "veryfast", "faster", "fast",
                                              "medium",    "slow",      "slower",   "veryslow", "placebo"};
    bool known = settings.preset.empty() || (settings.codec != "libx264" && settings.codec != "libx265");
    for (const char* preset : x26xPresets)
        known = known || settings.preset == preset;
    if (!presetTaken || !known)
        return "--preset " + settings.preset + " is not a preset that " + settings.codec + " takes";
    // MP4 has no tag for these two (MOV and Matroska take all five).
    if (container == "mp4" && (settings.codec == "ffv1" || settings.codec == "prores_ks"))
        return "a " + settings.name.substr(settings.name.size() - 4) + " video cannot hold " + settings.codec;
    return "";
}

// ---- The file, through the platform layer ----

static int writeOut(void* opaque, std::uint8_t* buffer, int bytes)
{
    VideoOut* o = static_cast<VideoOut*>(opaque);
    const int error = osWriteFull(o->out.file, buffer, std::size_t(bytes), o->position);
    if (error != 0) {
        if (o->ioError == 0)
            o->ioError = error;
        return AVERROR(error);
    }
    o->position += bytes;
    o->size = std::max(o->size, o->position);
    return bytes;
}

static std::int64_t seekOut(void* opaque, std::int64_t offset, int whence)
{
    VideoOut* o = static_cast<VideoOut*>(opaque);
    whence &= ~AVSEEK_FORCE;
    if (whence == AVSEEK_SIZE)
        return o->size;
    const std::int64_t to = whence == SEEK_SET ? offset : whence == SEEK_CUR ? o->position + offset
                          : whence == SEEK_END ? o->size + offset : -1;
    if (to < 0)
        return AVERROR(EINVAL);
    o->position = to;
    return to;
}

// The file read back, for a muxer that moves its index to the front: the same file again.
struct ReadBack {
    osFile file;
    std::int64_t position;
};

static int readBack(void* opaque, std::uint8_t* buffer, int bytes)
{
    ReadBack* r = static_cast<ReadBack*>(opaque);
    std::size_t got = 0;
    const int error = osReadFull(r->file, buffer, std::size_t(bytes), r->position, &got);
    if (error != 0)
        return AVERROR(error);
    r->position += std::int64_t(got);
    return got > 0 ? int(got) : AVERROR_EOF;
}

static std::int64_t seekBack(void* opaque, std::int64_t offset, int whence)
{
    ReadBack* r = static_cast<ReadBack*>(opaque);
    whence &= ~AVSEEK_FORCE;
    std::int64_t size = 0;
    if (whence == AVSEEK_SIZE || whence == SEEK_END)
        osRegularFileSize(r->file, &size);
    if (whence == AVSEEK_SIZE)
        return size;
    const std::int64_t to = whence == SEEK_SET ? offset : whence == SEEK_CUR ? r->position + offset : size + offset;
    if (to < 0)
        return AVERROR(EINVAL);
    r->position = to;
    return to;
}

static int openBack(AVFormatContext* s, AVIOContext** pb, const char*, int flags, AVDictionary**)
{
    VideoOut* o = static_cast<VideoOut*>(s->opaque);
    if ((flags & AVIO_FLAG_WRITE) != 0)
        return AVERROR(EPERM);
    ReadBack* r = new ReadBack{osNoFile, 0};
    osFileIdentity identity;
    bool stream = false;
    int error = osOpenForReading(o->out.temporary.c_str(), &r->file);
    if (error == 0 && !(osIdentifyOpenFile(r->file, &identity, &stream) && osSameFile(identity, o->identity)))
        error = EEXIST;   // another file put in its place
    std::uint8_t* buffer = error == 0 ? static_cast<std::uint8_t*>(av_malloc(ioBufferBytes)) : nullptr;
    *pb = buffer != nullptr ? avio_alloc_context(buffer, ioBufferBytes, 0, r, readBack, nullptr, seekBack) : nullptr;
    if (*pb == nullptr) {
        av_free(buffer);
        if (r->file != osNoFile)
            osCloseAfterReading(r->file);
        delete r;
        return error != 0 ? AVERROR(error) : AVERROR(ENOMEM);
    }
    return 0;
}

static int closeBack(AVFormatContext*, AVIOContext* pb)
{
    ReadBack* r = static_cast<ReadBack*>(pb->opaque);
    av_freep(&pb->buffer);
    avio_context_free(&pb);
    osCloseAfterReading(r->file);
    delete r;
    return 0;
}

// ---- Setting up ----

// The pixel format the encoder takes: the planes as merged, or the rgb24 frames as
// losslessly as the codec allows, else as players expect (yuv420p).
static AVPixelFormat encoderFormat(const AVCodec* codec, bool planes)
{
    AVPixelFormat wanted = AV_PIX_FMT_YUV420P;
    if (!planes && std::strcmp(codec->name, "ffv1") == 0)
        wanted = AV_PIX_FMT_BGR0;
    else if (!planes && std::strcmp(codec->name, "prores_ks") == 0)
        wanted = AV_PIX_FMT_YUV422P10LE;
    return wanted;
}

static std::string placeTemporary(VideoOut* o, const std::string& name, const std::vector<osFileIdentity>& inputs)
{
    const std::string problem = createReplacement(name.c_str(), "video", inputs, false, &o->out);
    if (!problem.empty())
        return (problem.rfind("it exists", 0) == 0 ? "the video " + name + " " + problem.substr(3)
                                                   : "cannot write the video " + name + ": " + problem);
    bool stream = false;
    osIdentifyOpenFile(o->out.file, &o->identity, &stream);
    return "";
}

static std::string setEncoderUp(VideoOut* o, const VideoSettings& settings, bool planes, const PanelInfo& first)
{
    const AVCodec* codec = avcodec_find_encoder_by_name(settings.codec.c_str());
    const AVPixelFormat format = encoderFormat(codec, planes);
    const AVPixFmtDescriptor* descriptor = av_pix_fmt_desc_get(format);
    // Subsampled chroma needs even sides: a black column at the right, a black row below.
    const int width = (o->mergedWidth + (1 << descriptor->log2_chroma_w) - 1) >> descriptor->log2_chroma_w
                                                                             << descriptor->log2_chroma_w;
    const int height = (o->mergedHeight + (1 << descriptor->log2_chroma_h) - 1) >> descriptor->log2_chroma_h
                                                                               << descriptor->log2_chroma_h;
    o->codec = avcodec_alloc_context3(codec);
    o->packet = av_packet_alloc();
    o->frame = av_frame_alloc();
    if (o->codec == nullptr || o->packet == nullptr || o->frame == nullptr)
        return "out of memory";
    o->codec->width = width;
    o->codec->height = height;
    o->codec->pix_fmt = format;
    o->codec->time_base = av_inv_q(settings.rate);
    o->codec->framerate = settings.rate;
    o->codec->thread_count = settings.threads;
    if (planes) {
        o->codec->color_range = first.range;
        o->codec->colorspace = first.colorSpace;
        o->codec->color_primaries = first.primaries;
        o->codec->color_trc = first.transfer;
    }
    if ((o->format->oformat->flags & AVFMT_GLOBALHEADER) != 0)
        o->codec->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    // The encoders that print on their own are told to print their errors only.
    if (settings.codec == "libx265")
        av_opt_set(o->codec->priv_data, "x265-params", "log-level=error", 0);
    if (!settings.crf.empty() && av_opt_set(o->codec->priv_data, "crf", settings.crf.c_str(), 0) < 0)
        return "--crf " + settings.crf + " is not a quality that " + settings.codec + " takes";
    if (!settings.preset.empty() && av_opt_set(o->codec->priv_data, "preset", settings.preset.c_str(), 0) < 0)
        return "--preset " + settings.preset + " is not a preset that " + settings.codec + " takes";
    int error = avcodec_open2(o->codec, codec, nullptr);
    if (error < 0)
        return "cannot start the encoder " + settings.codec + ": " + ffmpegErrorText(error);
    o->stream = avformat_new_stream(o->format, nullptr);
    if (o->stream == nullptr)
        return "out of memory";
    o->stream->time_base = o->codec->time_base;
    o->stream->avg_frame_rate = settings.rate;
    error = avcodec_parameters_from_context(o->stream->codecpar, o->codec);
    o->frame->format = format;
    o->frame->width = width;
    o->frame->height = height;
    if (error >= 0)
        error = av_frame_get_buffer(o->frame, 0);
    if (error >= 0 && !planes) {
        o->rgb = av_frame_alloc();
        if (o->rgb == nullptr)
            return "out of memory";
        o->rgb->format = AV_PIX_FMT_RGB24;
        o->rgb->width = width;
        o->rgb->height = height;
        error = av_frame_get_buffer(o->rgb, 0);
        if (error >= 0) {
            for (int y = 0; y < height; y++)
                std::memset(o->rgb->data[0] + std::ptrdiff_t(y) * o->rgb->linesize[0], 0, std::size_t(3 * width));
            // As FFmpeg's own scaler converts by default.
            o->toEncoder = sws_getContext(width, height, AV_PIX_FMT_RGB24, width, height, format, SWS_BICUBIC,
                                          nullptr, nullptr, nullptr);
            if (o->toEncoder == nullptr)
                error = AVERROR(ENOMEM);
        }
    }
    if (error < 0)
        return "cannot start the encoder " + settings.codec + ": " + ffmpegErrorText(error);
    return "";
}

// The temporary file beside the video and the container writing into it.
static std::string placeContainer(VideoOut* o, const std::string& name, const std::vector<osFileIdentity>& inputs)
{
    std::string failure = placeTemporary(o, name, inputs);
    if (!failure.empty())
        return failure;
    int error = avformat_alloc_output_context2(&o->format, nullptr, containerOf(name).c_str(), nullptr);
    std::uint8_t* buffer = error >= 0 ? static_cast<std::uint8_t*>(av_malloc(ioBufferBytes)) : nullptr;
    AVIOContext* io = buffer != nullptr ? avio_alloc_context(buffer, ioBufferBytes, 1, o, nullptr, writeOut, seekOut)
                                        : nullptr;
    if (io == nullptr) {
        av_free(buffer);
        return "out of memory";
    }
    o->format->pb = io;
    o->format->flags |= AVFMT_FLAG_CUSTOM_IO;
    o->format->opaque = o;
    o->format->io_open = openBack;
    o->format->io_close2 = closeBack;
    o->format->url = av_strdup(o->out.temporary.c_str());
    return "";
}

static std::string writeHeader(VideoOut* o, const std::string& name)
{
    AVDictionary* options = nullptr;
    if (containerOf(name) != "matroska")
        av_dict_set(&options, "movflags", "+faststart", 0);
    const int error = avformat_write_header(o->format, &options);
    av_dict_free(&options);
    if (error < 0)
        return "cannot write the video " + name + ": " + ffmpegErrorText(o->ioError != 0 ? o->ioError : error);
    return "";
}

std::string openVideo(const VideoSettings& settings, int width, int height, bool planes, const PanelInfo& first,
                      const std::vector<osFileIdentity>& inputs, VideoOut** out)
{
    VideoOut* o = new VideoOut;
    *out = o;
    o->mergedWidth = width;
    o->mergedHeight = height;
    o->firstFrame = settings.firstFrame;
    setMessageSubject("encoder");
    std::string failure = placeContainer(o, settings.name, inputs);
    if (!failure.empty())
        return failure;
    failure = setEncoderUp(o, settings, planes, first);
    if (!failure.empty())
        return failure;
    return writeHeader(o, settings.name);
}

std::string paddingNote(const VideoOut* o)
{
    if (o->codec->width == o->mergedWidth && o->codec->height == o->mergedHeight)
        return "";
    return "padding " + std::to_string(o->mergedWidth) + " x " + std::to_string(o->mergedHeight) + " to " +
           std::to_string(o->codec->width) + " x " + std::to_string(o->codec->height) + " with black, since " +
           o->codec->codec->name + " in " + av_get_pix_fmt_name(o->codec->pix_fmt) + " needs even sides";
}

// ---- Encoding ----

// Sends a frame (null at the end) and writes every packet that is ready.
static int encode(VideoOut* o, const AVFrame* frame)
{
    int error = avcodec_send_frame(o->codec, frame);
    while (error >= 0) {
        error = avcodec_receive_packet(o->codec, o->packet);
        if (error == AVERROR(EAGAIN) || error == AVERROR_EOF)
            error = 0;
        if (error != 0 || o->packet->size == 0)
            break;
        av_packet_rescale_ts(o->packet, o->codec->time_base, o->stream->time_base);
        o->packet->stream_index = o->stream->index;
        error = av_interleaved_write_frame(o->format, o->packet);
    }
    if (o->ioError != 0)
        error = o->ioError;
    o->error = error;
    return error;
}

static int writeRgbRows(void* context, std::int64_t, std::int64_t at, const unsigned char* rows, std::int64_t bytes)
{
    VideoOut* o = static_cast<VideoOut*>(context);
    const std::int64_t rowBytes = 3 * std::int64_t(o->mergedWidth);
    for (std::int64_t done = 0; done < bytes; done += rowBytes) {
        const std::int64_t fromBottom = (at + done) / rowBytes;
        // Upright; a padding row goes below the picture.
        const std::int64_t fromTop = o->mergedHeight - 1 - fromBottom;
        std::memcpy(o->rgb->data[0] + fromTop * o->rgb->linesize[0], rows + done, std::size_t(rowBytes));
    }
    return 0;
}

static int encodeRgbFrame(void* context, std::int64_t frame)
{
    VideoOut* o = static_cast<VideoOut*>(context);
    int error = av_frame_make_writable(o->frame);
    if (error < 0)
        return o->error = error;
    sws_scale(o->toEncoder, o->rgb->data, o->rgb->linesize, 0, o->rgb->height, o->frame->data, o->frame->linesize);
    o->frame->pts = o->firstFrame + frame;
    return encode(o, o->frame);
}

FrameSink videoFrameSink(VideoOut* o)
{
    return FrameSink{writeRgbRows, encodeRgbFrame, true, o};
}

AVFrame* planeFrame(VideoOut* o)
{
    return av_frame_make_writable(o->frame) < 0 ? nullptr : o->frame;
}

int encodePlaneFrame(VideoOut* o, std::int64_t frame)
{
    o->frame->pts = o->firstFrame + frame;
    return encode(o, o->frame);
}

int videoError(const VideoOut* o)
{
    return o->error;
}

// The trailer written, the file closed and renamed into place: 0 or an error code.
static int putInPlace(VideoOut* o)
{
    int error = av_write_trailer(o->format);
    if (error >= 0) {
        avio_flush(o->format->pb);
        error = o->ioError != 0 ? o->ioError : o->format->pb->error;
    }
    if (error < 0)
        return error;
    error = osClose(o->out.file);
    o->out.file = osNoFile;
    if (error != 0)
        return error;
    if (osStopRequested() != 0)
        return AVERROR_EXIT;
    OutputResult lockFailure{outputFine, 0};
    error = putReplacementInPlace(&o->out, &lockFailure);
    return error == osLockHeld && lockFailure.error == 0 ? AVERROR(EAGAIN) : error;
}

int finishVideo(VideoOut* o)
{
    const int error = encode(o, nullptr);
    return error < 0 ? error : putInPlace(o);
}

// ---- A video of packets copied from segments ----

std::string openCopiedVideo(const std::string& name, const AVStream* like, const std::vector<osFileIdentity>& inputs,
                            VideoOut** out)
{
    VideoOut* o = new VideoOut;
    *out = o;
    std::string failure = placeContainer(o, name, inputs);
    if (!failure.empty())
        return failure;
    o->stream = avformat_new_stream(o->format, nullptr);
    if (o->stream == nullptr || avcodec_parameters_copy(o->stream->codecpar, like->codecpar) < 0)
        return "out of memory";
    o->stream->codecpar->codec_tag = 0;
    o->stream->time_base = like->time_base;
    o->stream->avg_frame_rate = like->avg_frame_rate;
    return writeHeader(o, name);
}

int writeCopiedPacket(VideoOut* o, AVPacket* packet, AVRational timeBase)
{
    av_packet_rescale_ts(packet, timeBase, o->stream->time_base);
    packet->stream_index = o->stream->index;
    packet->pos = -1;
    const int error = av_interleaved_write_frame(o->format, packet);
    return o->ioError != 0 ? o->ioError : error;
}

int finishCopiedVideo(VideoOut* o)
{
    return putInPlace(o);
}

void releaseVideo(VideoOut* o)
{
    if (o == nullptr)
        return;
    if (o->format != nullptr) {
        if (o->format->pb != nullptr) {
            av_freep(&o->format->pb->buffer);
            avio_context_free(&o->format->pb);
        }
        avformat_free_context(o->format);
    }
    avcodec_free_context(&o->codec);
    av_packet_free(&o->packet);
    av_frame_free(&o->frame);
    av_frame_free(&o->rgb);
    sws_freeContext(o->toEncoder);
    abandonReplacement(&o->out);
    delete o;
}
