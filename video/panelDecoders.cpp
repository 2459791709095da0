// The panels: probed in parallel, then each demuxed and decoded by a thread of its own a few
// frames ahead of the merge, into a ring of frames that the merge reads in place.
#include <algorithm>
#include <cstring>
#include <memory>

#include "platform/process.h"
#include "video/video.h"

extern "C" {
#include <libavutil/display.h>
#include <libavutil/pixdesc.h>
#include <libavutil/imgutils.h>
}

// Frames a decoder may hold ahead of the one being merged, that one included.
static const int ringFrames = 3;

// What libavformat opens: a URL as it is, anything else as a file, so that a colon in a
// name is not taken for a protocol.
static std::string urlOf(const std::string& name)
{
    return name.find("://") != std::string::npos ? name : "file:" + name;
}

struct Opened {
    AVFormatContext* format = nullptr;
    int stream = -1;
};

static std::string openPanel(const std::string& name, Opened* opened)
{
    int error = avformat_open_input(&opened->format, urlOf(name).c_str(), nullptr, nullptr);
    if (error >= 0)
        error = avformat_find_stream_info(opened->format, nullptr);
    if (error < 0)
        return "cannot read panel " + name + ": " + ffmpegErrorText(error);
    opened->stream = av_find_best_stream(opened->format, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (opened->stream < 0)
        return "panel " + name + " holds no video stream";
    return "";
}

static void closePanel(Opened* opened)
{
    avformat_close_input(&opened->format);
}

struct Probe {
    PanelInfo* info;
    std::int64_t framesWanted;
};

static void probe(void* argument)
{
    Probe* p = static_cast<Probe*>(argument);
    PanelInfo& info = *p->info;
    setMessageSubject("panel " + info.name);
    Opened opened;
    info.failure = openPanel(info.name, &opened);
    if (!info.failure.empty()) {
        closePanel(&opened);
        return;
    }
    const AVStream* stream = opened.format->streams[opened.stream];
    const AVCodecParameters* codec = stream->codecpar;
    info.width = codec->width;
    info.height = codec->height;
    info.format = AVPixelFormat(codec->format);
    info.range = codec->color_range;
    info.colorSpace = codec->color_space;
    info.primaries = codec->color_primaries;
    info.transfer = codec->color_trc;
    info.rate = stream->avg_frame_rate.num > 0 && stream->avg_frame_rate.den > 0 ? stream->avg_frame_rate
                                                                                 : stream->r_frame_rate;
    if (info.rate.num <= 0 || info.rate.den <= 0)
        info.rate = AVRational{0, 1};
    const std::uint8_t* matrix = av_stream_get_side_data(stream, AV_PKT_DATA_DISPLAYMATRIX, nullptr);
    if (matrix != nullptr)
        info.rotation = av_display_rotation_get(reinterpret_cast<const std::int32_t*>(matrix));
    // Counted from the container's header where it has a count (MP4, MOV), else by reading
    // the packets without decoding them (Matroska, image sequences).
    info.frames = stream->nb_frames;
    if (info.frames <= 0) {
        info.frames = 0;
        AVPacket* packet = av_packet_alloc();
        while ((p->framesWanted == 0 || info.frames < p->framesWanted) && osStopRequested() == 0 &&
               av_read_frame(opened.format, packet) >= 0) {
            info.frames += packet->stream_index == opened.stream ? 1 : 0;
            av_packet_unref(packet);
        }
        av_packet_free(&packet);
    }
    if (info.width <= 0 || info.height <= 0)
        info.failure = "panel " + info.name + " holds no video stream";
    closePanel(&opened);
}

std::vector<PanelInfo> probePanels(const std::vector<std::string>& names, std::int64_t framesWanted)
{
    std::vector<PanelInfo> panels(names.size());
    std::vector<Probe> probes(names.size());
    std::vector<osThread> threads;
    for (std::size_t k = 0; k < names.size(); k++) {
        panels[k].name = names[k];
        probes[k] = Probe{&panels[k], framesWanted};
        osThread thread;
        if (osStartThread(probe, &probes[k], &thread) == 0)
            threads.push_back(thread);
        else
            probe(&probes[k]);
        // No more at once than the processors read and parse.
        if (int(threads.size()) >= osProcessorCount()) {
            osJoinThread(threads.front());
            threads.erase(threads.begin());
        }
    }
    for (osThread thread : threads)
        osJoinThread(thread);
    return panels;
}

// ---- Decoding ----

struct Decoder {
    Decoders* all;
    const PanelInfo* info;
    Opened opened;
    AVCodecContext* codec = nullptr;
    AVPacket* packet = nullptr;
    AVFrame* decoded = nullptr;
    AVFrame* ring[ringFrames] = {};
    SwsContext* toRgb = nullptr;
    bool drained = false;
    // Of a range: the timestamp of its first frame, until that frame is decoded.
    std::int64_t firstTime = AV_NOPTS_VALUE;
    osThread thread = nullptr;
    // Under the monitor:
    std::int64_t ready = 0;      // frames 0 .. ready - 1 decoded
    std::int64_t inUse = 0;      // the merge's frame: frames before it are free
    StreamStatus end = streamGoesOn;
    int error = 0;
    // The merge's own: the frame it reads and where.
    std::int64_t current = -1;
    const unsigned char* bottom = nullptr;
    std::ptrdiff_t stride = 0;
};

struct Decoders {
    osMonitor monitor = nullptr;
    bool stopping = false;
    bool rgb = false;
    std::int64_t first = 0;      // the range's first frame: frame 0 of the decoders
    std::int64_t frames = 0;
    std::vector<std::unique_ptr<Decoder>> panels;
};

// The next frame of the panel: 0, AVERROR_EOF at its end, or an error. As FFmpeg's own
// command reads a damaged file, a packet that cannot be decoded is passed over and a file
// that cannot be read further ends there (FFmpeg says why, as a complaint).
static int decodeNext(Decoder* d)
{
    for (;;) {
        int error = avcodec_receive_frame(d->codec, d->decoded);
        if (error != AVERROR(EAGAIN) && error != AVERROR_INVALIDDATA)
            return error;
        if (d->drained)
            return AVERROR_EOF;
        error = av_read_frame(d->opened.format, d->packet);
        if (error < 0) {
            d->drained = true;
            error = avcodec_send_packet(d->codec, nullptr);
        } else {
            if (d->packet->stream_index == d->opened.stream)
                error = avcodec_send_packet(d->codec, d->packet);
            av_packet_unref(d->packet);
        }
        if (error == AVERROR(ENOMEM))
            return error;
    }
}

// Into the ring: as rgb24 bottom row first (the decoded frame read upside down, as Mozaro's
// frames are stored, then converted as FFmpeg's own scaler converts it by default), or as
// it was decoded.
static int keepFrame(Decoder* d, AVFrame* slot)
{
    const AVFrame* f = d->decoded;
    if (f->width != d->info->width || f->height != d->info->height ||
        (d->info->format != AV_PIX_FMT_NONE && f->format != d->info->format))
        return frameChangedShape;
    if (!d->all->rgb) {
        av_frame_unref(slot);
        av_frame_move_ref(slot, d->decoded);
        return 0;
    }
    if (d->toRgb == nullptr) {
        d->toRgb = sws_getContext(f->width, f->height, AVPixelFormat(f->format), f->width, f->height,
                                  AV_PIX_FMT_RGB24, SWS_BICUBIC, nullptr, nullptr, nullptr);
        if (d->toRgb == nullptr)
            return AVERROR(ENOMEM);
        int* inverse;
        int* table;
        int sourceFull, destinationFull, brightness, contrast, saturation;
        if (sws_getColorspaceDetails(d->toRgb, &inverse, &sourceFull, &table, &destinationFull, &brightness, &contrast,
                                     &saturation) >= 0) {
            if (f->colorspace != AVCOL_SPC_UNSPECIFIED)
                inverse = const_cast<int*>(sws_getCoefficients(f->colorspace));
            if (f->color_range != AVCOL_RANGE_UNSPECIFIED)
                sourceFull = f->color_range == AVCOL_RANGE_JPEG;
            sws_setColorspaceDetails(d->toRgb, inverse, sourceFull, table, destinationFull, brightness, contrast,
                                     saturation);
        }
    }
    const AVPixFmtDescriptor* descriptor = av_pix_fmt_desc_get(AVPixelFormat(f->format));
    const std::uint8_t* planes[4] = {};
    int strides[4] = {};
    for (int plane = 0; plane < 4 && f->data[plane] != nullptr; plane++) {
        if (plane == 1 && (descriptor->flags & AV_PIX_FMT_FLAG_PAL) != 0) {   // a palette, not rows
            planes[1] = f->data[1];
            strides[1] = f->linesize[1];
            continue;
        }
        const bool chroma = (plane == 1 || plane == 2) && (descriptor->flags & AV_PIX_FMT_FLAG_RGB) == 0;
        const int rows = chroma ? AV_CEIL_RSHIFT(f->height, descriptor->log2_chroma_h) : f->height;
        planes[plane] = f->data[plane] + std::ptrdiff_t(rows - 1) * f->linesize[plane];
        strides[plane] = -f->linesize[plane];
    }
    sws_scale(d->toRgb, planes, strides, 0, f->height, slot->data, slot->linesize);
    return 0;
}

// ---- A range of frames ----
// Frame k of a panel is its k-th decoded frame from the first. Decoded frames come in the
// order of their timestamps, so frame k is the one with the k-th smallest timestamp among
// the stream's packets: the packets before the range are read (demuxed, never decoded) to
// find that timestamp and the last keyframe at or before it; the panel is then sought to
// that keyframe and decoded from it, the frames before the range dropped. An image sequence
// numbers its frames itself and is sought straight to the range's file.

// Packets read beyond the range's first frame, enough for any reordering of B-frames.
static const std::int64_t reorderPackets = 32;

static bool imageSequence(const Decoder* d)
{
    return std::strcmp(d->opened.format->iformat->name, "image2") == 0;
}

// Places the panel so that the next frames decoded lead to frame `first`: 0 or an error
// (AVERROR_EOF where the panel holds no frame `first`).
static int seekToRange(Decoder* d, std::int64_t first)
{
    AVFormatContext* format = d->opened.format;
    const int stream = d->opened.stream;
    if (imageSequence(d)) {
        d->firstTime = first;
        return av_seek_frame(format, stream, first, 0);
    }
    std::vector<std::int64_t> times;
    std::int64_t keyTime = AV_NOPTS_VALUE, keyDecodeTime = AV_NOPTS_VALUE;
    std::vector<std::pair<std::int64_t, std::int64_t>> keys;   // (timestamp, decoding timestamp)
    while (std::int64_t(times.size()) <= first + reorderPackets && osStopRequested() == 0) {
        const int error = av_read_frame(format, d->packet);
        if (error == AVERROR_EOF)
            break;
        if (error < 0)
            return error;
        const AVPacket* packet = d->packet;
        if (packet->stream_index == stream && (packet->flags & AV_PKT_FLAG_DISCARD) == 0) {
            const std::int64_t time = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
            if (time == AV_NOPTS_VALUE) {
                av_packet_unref(d->packet);
                return AVERROR_INVALIDDATA;
            }
            times.push_back(time);
            if ((packet->flags & AV_PKT_FLAG_KEY) != 0)
                keys.emplace_back(time, packet->dts != AV_NOPTS_VALUE ? packet->dts : time);
        }
        av_packet_unref(d->packet);
    }
    if (std::int64_t(times.size()) <= first)
        return AVERROR_EOF;
    std::nth_element(times.begin(), times.begin() + first, times.end());
    d->firstTime = times[std::size_t(first)];
    for (const auto& key : keys)
        if (key.first <= d->firstTime)
            keyTime = key.first, keyDecodeTime = key.second;
    // At or before that keyframe (an earlier one costs decoding only); from the start where
    // the container cannot seek.
    if (keyTime != AV_NOPTS_VALUE &&
        av_seek_frame(format, stream, std::min(keyTime, keyDecodeTime), AVSEEK_FLAG_BACKWARD) >= 0)
        return 0;
    closePanel(&d->opened);
    const std::string failure = openPanel(d->info->name, &d->opened);
    return failure.empty() ? 0 : AVERROR(EIO);
}

// The next frame of the range: frames before its first dropped; the first must be the one
// of the timestamp found, else the panel's frames could not be counted by seeking.
static int decodeInRange(Decoder* d)
{
    for (;;) {
        const int error = decodeNext(d);
        if (error != 0 || d->firstTime == AV_NOPTS_VALUE)
            return error;
        const std::int64_t time = d->decoded->best_effort_timestamp;
        if (time != AV_NOPTS_VALUE && time < d->firstTime)
            continue;
        if (time != d->firstTime)
            return frameNotFound;
        d->firstTime = AV_NOPTS_VALUE;
        return 0;
    }
}

static void decode(void* argument)
{
    Decoder* d = static_cast<Decoder*>(argument);
    Decoders* all = d->all;
    setMessageSubject("panel " + d->info->name);
    StreamStatus end = streamGoesOn;
    int error = all->first > 0 ? seekToRange(d, all->first) : 0;
    if (error != 0) {
        osEnterMonitor(all->monitor);
        d->end = error == AVERROR_EOF ? panelMovieEnded : panelMovieFailed;
        d->error = error == AVERROR_EOF ? 0 : error;
        osWakeAllInMonitor(all->monitor);
        osLeaveMonitor(all->monitor);
        return;
    }
    for (std::int64_t k = 0; k < all->frames && end == streamGoesOn; k++) {
        osEnterMonitor(all->monitor);
        while (!all->stopping && k - d->inUse >= ringFrames)
            osWaitInMonitor(all->monitor, 100);
        const bool stopping = all->stopping;
        osLeaveMonitor(all->monitor);
        if (stopping || osStopRequested() != 0)
            break;
        error = decodeInRange(d);
        if (error == 0)
            error = keepFrame(d, d->ring[k % ringFrames]);
        if (error == AVERROR_EOF)
            end = panelMovieEnded;
        else if (error != 0)
            end = panelMovieFailed;
        osEnterMonitor(all->monitor);
        if (end == streamGoesOn)
            d->ready = k + 1;
        d->end = end;
        d->error = end == panelMovieFailed ? error : 0;
        osWakeAllInMonitor(all->monitor);
        osLeaveMonitor(all->monitor);
    }
}

static std::string openDecoder(Decoder* d, int threads)
{
    std::string failure = openPanel(d->info->name, &d->opened);
    if (!failure.empty())
        return failure;
    const AVCodecParameters* parameters = d->opened.format->streams[d->opened.stream]->codecpar;
    const AVCodec* codec = avcodec_find_decoder(parameters->codec_id);
    if (codec == nullptr)
        return "panel " + d->info->name + " is in a format that this FFmpeg cannot decode";
    d->codec = avcodec_alloc_context3(codec);
    d->packet = av_packet_alloc();
    d->decoded = av_frame_alloc();
    if (d->codec == nullptr || d->packet == nullptr || d->decoded == nullptr)
        return "out of memory";
    int error = avcodec_parameters_to_context(d->codec, parameters);
    d->codec->thread_count = threads;
    if (error >= 0)
        error = avcodec_open2(d->codec, codec, nullptr);
    if (error < 0)
        return "cannot decode panel " + d->info->name + ": " + ffmpegErrorText(error);
    for (AVFrame*& slot : d->ring) {
        slot = av_frame_alloc();
        if (slot == nullptr)
            return "out of memory";
        if (d->all->rgb) {
            slot->format = AV_PIX_FMT_RGB24;
            slot->width = d->info->width;
            slot->height = d->info->height;
            if (av_frame_get_buffer(slot, 0) < 0)
                return "out of memory";
        }
    }
    return "";
}

std::string startDecoders(const std::vector<PanelInfo>& panels, std::int64_t frames, bool rgb, int threadsEach,
                          Decoders** decoders)
{
    return startDecodersAt(panels, 0, frames, rgb, threadsEach, decoders);
}

std::string startDecodersAt(const std::vector<PanelInfo>& panels, std::int64_t first, std::int64_t frames, bool rgb,
                            int threadsEach, Decoders** decoders)
{
    Decoders* all = new Decoders;
    *decoders = all;
    all->monitor = osCreateMonitor();
    all->rgb = rgb;
    all->first = first;
    all->frames = frames;
    if (all->monitor == nullptr)
        return "out of memory";
    for (const PanelInfo& info : panels) {
        all->panels.emplace_back(new Decoder);
        all->panels.back()->all = all;
        all->panels.back()->info = &info;
    }
    for (auto& d : all->panels) {
        setMessageSubject("panel " + d->info->name);
        std::string failure = openDecoder(d.get(), threadsEach);
        setMessageSubject("");
        if (!failure.empty())
            return failure;
    }
    for (auto& d : all->panels) {
        const int error = osStartThread(decode, d.get(), &d->thread);
        if (error != 0) {
            d->thread = nullptr;
            return std::string("cannot start a decoder thread: ") + osErrorText(error);
        }
    }
    return "";
}

// Waits for frame `frame` of decoder `d`, letting the decoder reuse the frames before it.
static StreamStatus waitForFrame(Decoders* all, Decoder* d, std::int64_t frame, int* error)
{
    osEnterMonitor(all->monitor);
    d->inUse = frame;
    osWakeAllInMonitor(all->monitor);
    while (d->ready <= frame && d->end == streamGoesOn && osStopRequested() == 0)
        osWaitInMonitor(all->monitor, 100);
    const bool ready = d->ready > frame;
    const StreamStatus end = d->end;
    *error = d->error;
    osLeaveMonitor(all->monitor);
    showComplaints();
    if (ready)
        return streamGoesOn;
    return end != streamGoesOn ? end : streamStopRequested;
}

static StreamStatus rgbFrame(void* context, std::int64_t frame, const unsigned char** bottomRow,
                             std::ptrdiff_t* rowStride, int* error)
{
    Decoder* d = static_cast<Decoder*>(context);
    if (frame != d->current) {
        const StreamStatus status = waitForFrame(d->all, d, frame, error);
        if (status != streamGoesOn)
            return status;
        const AVFrame* slot = d->ring[frame % ringFrames];
        d->current = frame;
        d->bottom = slot->data[0];
        d->stride = slot->linesize[0];
    }
    *bottomRow = d->bottom;
    *rowStride = d->stride;
    return streamGoesOn;
}

PanelSource panelSource(Decoders* decoders, int k)
{
    return PanelSource{rgbFrame, decoders->panels[std::size_t(k)].get()};
}

const AVFrame* decodedFrame(Decoders* decoders, int k, std::int64_t frame, StreamResult* why)
{
    Decoder* d = decoders->panels[std::size_t(k)].get();
    int error = 0;
    const StreamStatus status = waitForFrame(decoders, d, frame, &error);
    *why = StreamResult{status, k, error};
    return status == streamGoesOn ? d->ring[frame % ringFrames] : nullptr;
}

void stopDecoders(Decoders* all)
{
    if (all == nullptr)
        return;
    if (all->monitor != nullptr) {
        osEnterMonitor(all->monitor);
        all->stopping = true;
        osWakeAllInMonitor(all->monitor);
        osLeaveMonitor(all->monitor);
    }
    for (auto& d : all->panels) {
        if (d->thread != nullptr)
            osJoinThread(d->thread);
        for (AVFrame*& slot : d->ring)
            av_frame_free(&slot);
        av_frame_free(&d->decoded);
        av_packet_free(&d->packet);
        avcodec_free_context(&d->codec);
        sws_freeContext(d->toRgb);
        closePanel(&d->opened);
    }
    if (all->monitor != nullptr)
        osDestroyMonitor(all->monitor);
    delete all;
}
