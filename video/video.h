// mozaro-video: a wall video (or Mozaro's raw movie) from panel videos, in one process.
// Each panel is demuxed and decoded by a thread of its own into a few frames in memory; the
// calling thread merges them, frame after frame, and feeds the encoder or the raw movie.
//
//   panel files -> decoder threads -> frames in memory -> merge (block means) -> encoder -> video
//
// Two merges: rgb24 frames through Mozaro's own frame pipeline (every --raw movie, and a
// video with --rgb or where the planes cannot be merged), or the decoded yuv420p planes, each
// at its own resolution, by the same truncating block means, with no colour conversion at
// all. Only the calling thread writes to standard output and standard error; the threads'
// and FFmpeg's messages wait for it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "frames/frames.h"
#include "geometry/runParameters.h"
#include "output/output.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libswscale/swscale.h>
#include <libavutil/pixfmt.h>
}

// ---- Messages (video/videoMessages.cpp) ----

// A message for standard error, "mozaro-video: " first, from any thread: kept until the
// calling thread next shows what is waiting, so that no line runs into another.
void complain(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Writes what is waiting (the calling thread only), clearing the progress line first.
void showComplaints();
// FFmpeg's own messages (errors and worse) become complaints naming the panel or encoder
// that the thread is working for.
void routeFfmpegMessages();
void setMessageSubject(const std::string& subject);
// FFmpeg's or the system's error code in words.
std::string ffmpegErrorText(int error);

// ---- Panels (video/panelDecoders.cpp) ----

struct PanelInfo {
    std::string name;            // as the user gave it
    int width = 0, height = 0;
    AVPixelFormat format = AV_PIX_FMT_NONE;
    std::int64_t frames = 0;     // from the container, or counted (up to the frames asked for)
    AVRational rate = {0, 1};    // frames per second, {0, 1} where the container does not say
    double rotation = 0;         // degrees the container asks players to turn it by
    AVColorRange range = AVCOL_RANGE_UNSPECIFIED;
    AVColorSpace colorSpace = AVCOL_SPC_UNSPECIFIED;
    AVColorPrimaries primaries = AVCOL_PRI_UNSPECIFIED;
    AVColorTransferCharacteristic transfer = AVCOL_TRC_UNSPECIFIED;
    std::string failure;         // why it cannot be read, "" when it can
};

// Looks at every panel, one thread each: its size, pixel format, frames (counted without
// decoding where the container does not say, at most `framesWanted` where that is not 0).
std::vector<PanelInfo> probePanels(const std::vector<std::string>& names, std::int64_t framesWanted);

// The panels' decoders: each decodes frames 0 .. frames - 1 of its panel, a few ahead of
// the merge, either as rgb24 bottom row first (what Mozaro reads) or as decoded.
struct Decoders;
// Opens every panel's decoder (`threadsEach` of FFmpeg's threads each, 0 for its choice)
// and starts their threads; "" or what went wrong.
std::string startDecoders(const std::vector<PanelInfo>& panels, std::int64_t frames, bool rgb, int threadsEach,
                          Decoders** decoders);
// The same from frame `first` of every panel on (counted in decoded frames from its first):
// frame 0 of the decoders is the panels' frame `first`.
std::string startDecodersAt(const std::vector<PanelInfo>& panels, std::int64_t first, std::int64_t frames, bool rgb,
                            int threadsEach, Decoders** decoders);
// Panel k as a source for the frame pipeline (rgb24 decoders).
PanelSource panelSource(Decoders* decoders, int k);
// Frame `frame` of panel k as decoded (yuv decoders): null when it did not come, with why.
const AVFrame* decodedFrame(Decoders* decoders, int k, std::int64_t frame, StreamResult* why);
// Stops the threads and frees everything.
void stopDecoders(Decoders* decoders);
// A panel whose frames change size or pixel format part way (a StreamResult error code).
constexpr int frameChangedShape = -1000000;
// A panel whose range's first frame did not come where its timestamps said.
constexpr int frameNotFound = -1000001;

// ---- The video out (video/videoEncoder.cpp) ----

struct VideoSettings {
    std::string name;        // the video's name: its ending says the container
    std::string codec;       // libx264, libx265, libsvtav1, prores_ks or ffv1
    std::string crf, preset; // "" for the codec's own
    AVRational rate;
    int threads;             // 0 for FFmpeg's choice
    std::int64_t firstFrame = 0;   // a range's first frame: the time of the video's first
};

// Which container a name ends in ("mp4", "matroska", "mov"), "" for none of them.
std::string containerOf(const std::string& name);
// "" where the codec can be had, in that container, else why not.
std::string checkCodec(const VideoSettings& settings);

struct VideoOut;
// Checks the place, creates the temporary file beside the video exclusively and sets the
// encoder up: rgb24 frames of width x height (merged by Mozaro's pipeline, bottom row
// first) or, `planes`, yuv420p frames written plane by plane. `first` gives the colours of
// the panels' planes. "" or what went wrong (nothing is left then).
std::string openVideo(const VideoSettings& settings, int width, int height, bool planes, const PanelInfo& first,
                      const std::vector<osFileIdentity>& inputs, VideoOut** out);
// The rgb24 frame pipeline's sink (fed in order).
FrameSink videoFrameSink(VideoOut* out);
// The yuv420p frame to fill for the next frame, and the encoding of it once filled.
AVFrame* planeFrame(VideoOut* out);
int encodePlaneFrame(VideoOut* out, std::int64_t frame);
// A line when the merged frames are padded for the encoder, "" when not.
std::string paddingNote(const VideoOut* out);
// Ends the stream, closes the file and renames it into place: 0 or an error code.
int finishVideo(VideoOut* out);
// Removes the temporary file of a video not put in place, and frees everything.
void releaseVideo(VideoOut* out);
// The encoder's or the file's last error, for a frame sink failure.
int videoError(const VideoOut* out);
// A video of packets copied, not encoded: one stream like `like`, in the container of
// `name`'s ending, written to a temporary beside it; each packet's times are in `timeBase`;
// finishCopiedVideo puts it in place; releaseVideo as above.
std::string openCopiedVideo(const std::string& name, const AVStream* like, const std::vector<osFileIdentity>& inputs,
                            VideoOut** out);
int writeCopiedPacket(VideoOut* out, AVPacket* packet, AVRational timeBase);
int finishCopiedVideo(VideoOut* out);

// ---- Joining segments (video/segmentJoin.cpp) ----

// mozaro-video --join OUT SEGMENT...: the segments' packets, in order, copied into one
// video OUT put in place whole or not at all; the process's exit status.
int joinSegments(int argc, char** argv);

// ---- Merging planes (video/planeMerge.cpp) ----

// Block means of plane `plane` (0 luma, 1 and 2 chroma at half size) of every panel's
// decoded frame, with the wall's seams (gaps of `fill`, overlaps) at that plane's
// resolution, into `out`, whose plane holds (mosaic width / nBlend) x (mosaic height /
// nBlend) of that plane's samples: blocks from the bottom left, truncated or rounded, as
// Mozaro's are. Needs the panels' sides and every seam even.
// Column sums of a block row, sized on the first frame.
struct PlaneSums {
    std::vector<std::uint16_t> narrow;   // blend factors whose column sums fit 16 bits
    std::vector<std::uint32_t> wide;
};
void mergePlane(const RunParameters& p, const AVFrame* const* panels, int plane, std::uint8_t fill, AVFrame* out,
                PlaneSums* sums);
// The gaps' colour (rgb) as Y, U and V samples in the colours of the panels' planes (those
// of `first`), converted as the decoders convert those planes to rgb24; false where the
// conversion cannot be set up.
bool planeFill(const unsigned char rgb[3], const PanelInfo& first, std::uint8_t yuv[3]);
