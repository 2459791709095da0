// mozaro-video: the command line, the checks of the panels, and the run: decoders started,
// frames merged one after the other into the raw movie or the encoder, the result put in
// place whole or not at all.
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>

#include "platform/directories.h"
#include "platform/process.h"
#include "run/run.h"
#include "video/video.h"

extern "C" {
#include <libavutil/parseutils.h>
}

static const char usage[] =
    "usage: mozaro-video [-o OUT.mp4|OUT.mkv|OUT.mov | --raw NAME] [--codec NAME] [--crf N] [--preset P]\n"
    "                    [--rate R] [--frames N | --shortest] [--rgb] [--quiet] [-j N]\n"
    "                    [--top-first] [--gap X[,Y] [--fill RRGGBB] | --overlap X[,Y]] [--round]\n"
    "                    [--start FIRST] [--part FILE --at K] [--check [--porcelain]]\n"
    "                    ntx nty nBlend panel00 [panel01 ...]\n"
    "    -o, --output OUT     = video to write, its container from its ending (.mp4, .mkv, .mov);\n"
    "                           B_<first panel's name>.mp4 in its folder when left out\n"
    "    --raw NAME           = write Mozaro's raw movie NAME and its descriptor NAME.mg instead\n"
    "    --codec NAME         = libx264 (when left out), libx265, libsvtav1, prores_ks or ffv1\n"
    "    --crf N, --preset P  = the codec's quality and speed, its own when left out\n"
    "    -r, --rate R         = frames per second of the video, the first panel's when left out\n"
    "    --frames N           = merge the first N frames of every panel\n"
    "    --shortest           = merge as many frames as the shortest panel holds\n"
    "    --rgb                = merge rgb24 frames, not the decoded yuv420p planes\n"
    "    --quiet              = no \"Finished Frame\" lines\n"
    "    --top-first          = the panels are named top row first, each row left to right\n"
    "    --gap X[,Y]          = X columns between neighbouring panels, Y rows between rows (Y = X)\n"
    "    --fill RRGGBB        = the gaps' colour, in hex; 000000 when left out\n"
    "    --overlap X[,Y]      = neighbours share X columns and Y rows; the left and lower panel keeps them\n"
    "    --round              = round each block's mean to the nearest value instead of truncating it\n"
    "    -j, --jobs N         = threads of each decoder and of the encoder, FFmpeg's choice when left out\n"
    "    --start FIRST        = merge from frame FIRST of every panel on (0 the first); a video keeps their times\n"
    "    --part FILE --at K   = write the raw frames into FILE, a job's part, from movie frame K on\n"
    "    --check              = check the panels and say what would be made; make nothing\n"
    "    --porcelain          = with --check: key=value lines on standard output, messages on standard error\n"
    "       mozaro-video --join OUT.mp4|OUT.mkv|OUT.mov SEGMENT...\n"
    "    --join               = copy the packets of the segments, in order, into one video OUT\n"
    "    ntx nty nBlend       = panels across and down, blend factor\n"
    "    panel??              = videos or image sequences (frames00/%04d.png), bottom row first\n"
    "                           unless --top-first\n";

struct Options {
    std::string output, raw, codec = "libx264", crf, preset, rate;
    std::int64_t frames = 0;
    bool shortest = false, rgb = false, quiet = false;
    int jobs = 0;
    // A range, a job's part, a check.
    std::int64_t start = 0, at = -1;
    std::string part;
    bool check = false, porcelain = false;
    int ntx = 0, nty = 0, nBlend = 0;
    std::vector<std::string> panels;   // in grid order: bottom row first, each row left to right
    std::string firstNamed;            // the first panel on the command line
    // The wall, as Mozaro takes it: the order the panels are named in, the seams, the means.
    bool topFirst = false, round = false;
    std::int32_t gapX = 0, gapY = 0, overlapX = 0, overlapY = 0;
    unsigned char fill[3] = {0, 0, 0};
};

// --porcelain: the kind of every stop, last on standard output.
static bool porcelainStops = false;

[[noreturn]] static void refuse(const std::string& reason)
{
    showComplaints();
    std::fprintf(stderr, "mozaro-video: %s\n", reason.c_str());
    if (porcelainStops)
        tell("stop", std::string("refused"));
    std::exit(1);
}

[[noreturn]] static void refuseWithUsage()
{
    std::fputs(usage, stderr);
    if (porcelainStops)
        tell("stop", std::string("usage"));
    std::exit(1);
}

// A count of 0 or more, plain decimal, below 10^9.
static std::int64_t countNumber(const char* what, const char* text)
{
    const std::size_t length = std::strlen(text);
    bool digits = length > 0 && length < 10;
    for (std::size_t k = 0; k < length; k++)
        digits = digits && text[k] >= '0' && text[k] <= '9';
    if (!digits)
        refuse(std::string(what) + " must be a whole number of 0 or more: \"" + text + "\"");
    return std::atoll(text);
}

// The options of a range, a job's part and a check; false for any other.
static bool rangeOption(Options* o, const std::string& option, const char* value)
{
    if (option == "--start")
        o->start = countNumber("--start", value);
    else if (option == "--part")
        o->part = value;
    else if (option == "--at")
        o->at = countNumber("--at", value);
    else if (option == "--check")
        o->check = true;
    else if (option == "--porcelain")
        o->porcelain = porcelainStops = true, sendMessagesToStandardError();
    else
        return false;
    return true;
}

static void refuseRangeMismatch(const Options& o, bool videoOptions)
{
    if (o.part.empty() != (o.at < 0))
        refuse("--part FILE and --at K go together: a part's frames need their place");
    if (!o.part.empty() && (!o.output.empty() || !o.raw.empty() || videoOptions))
        refuse("--part writes raw frames into a job's part: -o, --raw, --codec, --crf, --preset and --rgb do not go with it");
    if (o.porcelain && !o.check)
        refuse("--porcelain goes with --check");
}

// A whole number of 1 or more, plain decimal, below 10^9.
static int wholeNumber(const char* what, const char* text)
{
    const std::size_t length = std::strlen(text);
    bool digits = length > 0 && length < 10;
    for (std::size_t k = 0; k < length; k++)
        digits = digits && text[k] >= '0' && text[k] <= '9';
    const int value = digits ? std::atoi(text) : 0;
    if (value < 1)
        refuse(std::string(what) + " must be a whole number of 1 or more: \"" + text + "\"");
    return value;
}

// The run's parameters for panels of nx x ny pixels: the wall's numbers and seams, the
// whole of every panel from its first frame; the sizes derived where within the limits.
static RunParameters wallOf(const Options& o, std::int32_t nx, std::int32_t ny, std::int32_t frames)
{
    RunParameters p = runParametersOf(o.ntx, o.nty, nx, ny, frames, o.nBlend);
    p.gapX = o.gapX;
    p.gapY = o.gapY;
    p.overlapX = o.overlapX;
    p.overlapY = o.overlapY;
    for (int k = 0; k < 3; k++)
        p.fill[k] = o.fill[k];
    p.roundMeans = o.round;
    if (checkRunLimits(p) == withinLimits)
        computeSizes(&p);
    return p;
}

static Options readCommandLine(int argc, char** argv)
{
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
        std::fputs(usage, stdout);
        std::exit(0);
    }
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("mozaro-video %s\n", MOZARO_VERSION);
        std::exit(0);
    }
    Options o;
    bool videoOptions = false;
    int a = 1;
    for (; a < argc && argv[a][0] == '-' && argv[a][1] != '\0'; a++) {
        const std::string option = argv[a];
        if (option == "--") {
            a++;
            break;
        }
        const bool flag = option == "--shortest" || option == "--rgb" || option == "--quiet" ||
                          option == "--top-first" || option == "--round" || option == "--check" ||
                          option == "--porcelain";
        if (!flag && a + 1 >= argc)
            refuseWithUsage();
        const char* value = flag ? "" : argv[a + 1];
        if ((option == "-o" || option == "--output") && o.raw.empty())
            o.output = value;
        else if (option == "--raw" && o.output.empty())
            o.raw = value;
        else if (option == "--codec")
            o.codec = value, videoOptions = true;
        else if (option == "--crf")
            o.crf = value, videoOptions = true;
        else if (option == "--preset")
            o.preset = value, videoOptions = true;
        else if (option == "-r" || option == "--rate")
            o.rate = value;
        else if (option == "--frames")
            o.frames = wholeNumber("--frames", value);
        else if (option == "-j" || option == "--jobs")
            o.jobs = wholeNumber("-j", value);
        else if (option == "--shortest")
            o.shortest = true;
        else if (option == "--rgb")
            o.rgb = videoOptions = true;
        else if (option == "--quiet")
            o.quiet = true;
        else if (option == "--top-first")
            o.topFirst = true;
        else if (option == "--round")
            o.round = true;
        else if ((option == "--gap" && !parseSeam(value, &o.gapX, &o.gapY)) ||
                 (option == "--overlap" && !parseSeam(value, &o.overlapX, &o.overlapY)))
            refuse(option + " takes X or X,Y, whole numbers of pixels: \"" + value + "\"");
        else if (option == "--fill" && !parseFillColour(value, o.fill))
            refuse(option + " takes a colour as six hex digits, RRGGBB: \"" + value + "\"");
        else if (option != "--gap" && option != "--overlap" && option != "--fill" && !rangeOption(&o, option, value))
            refuseWithUsage();
        a += flag ? 0 : 1;
    }
    if (argc - a < 4)
        refuseWithUsage();
    o.ntx = wholeNumber("ntx", argv[a]);
    o.nty = wholeNumber("nty", argv[a + 1]);
    o.nBlend = wholeNumber("nBlend", argv[a + 2]);
    for (int k = a + 3; k < argc; k++)
        o.panels.push_back(argv[k]);
    const long long wanted = (long long)o.ntx * o.nty;
    if ((long long)o.panels.size() != wanted)
        refuse("ntx x nty = " + std::to_string(o.ntx) + " x " + std::to_string(o.nty) + " panels need " +
               std::to_string(wanted) + " panel names; " + std::to_string(o.panels.size()) + " were given");
    // The limits that do not depend on the panels' size, before any panel is looked at
    // (panels larger than any seam: no overlap is too wide for them).
    const RunParameters limits = wallOf(o, maxSeam + 1, maxSeam + 1, 0);
    const LimitBreach breach = checkRunLimits(limits);
    if (breach != withinLimits && breach != mosaicTooWide && breach != mosaicTooTall)
        refuse(limitBreachText(limits, breach));
    o.firstNamed = o.panels[0];
    if (o.topFirst) {   // the k-th named is row nty - 1 - k / ntx, column k mod ntx
        const std::vector<std::string> named = o.panels;
        for (std::size_t k = 0; k < named.size(); k++)
            o.panels[(std::size_t(o.nty) - 1 - k / std::size_t(o.ntx)) * std::size_t(o.ntx) + k % std::size_t(o.ntx)] =
                named[k];
    }
    if (o.shortest && o.frames > 0)
        refuse("--frames and --shortest ask for two different counts; give one of them");
    if (!o.raw.empty() && videoOptions)
        refuse("--codec, --crf, --preset and --rgb concern a video; --raw writes Mozaro's raw movie");
    refuseRangeMismatch(o, videoOptions);
    return o;
}

// In the first panel's folder, B_ and its name without the extension; for an image
// sequence, without its number pattern, or (beside that folder) the folder's name when
// nothing is left.
static std::string defaultName(std::string panel)
{
    while (panel.size() > 1 && panel.back() == '/')
        panel.pop_back();
    const std::size_t lastSlash = panel.rfind('/');
    std::string folder = lastSlash == std::string::npos ? "" : panel.substr(0, lastSlash + 1);
    std::string name = panel.substr(lastSlash == std::string::npos ? 0 : lastSlash + 1);
    const std::size_t dot = name.rfind('.');
    if (dot != std::string::npos && dot > 0)
        name.resize(dot);
    if (name.find('%') != std::string::npos) {
        std::string kept;
        for (std::size_t k = 0; k < name.size(); k++) {
            if (name[k] != '%') {
                kept += name[k];
                continue;
            }
            std::size_t end = k + 1;
            while (end < name.size() && name[end] >= '0' && name[end] <= '9')
                end++;
            if (end < name.size() && (name[end] == 'd' || (name[end] == '%' && end == k + 1)))
                k = end;
            else
                kept += name[k];
        }
        name = kept;
        if (name.empty() && folder.size() > 1) {
            const std::string sequence = folder.substr(0, folder.size() - 1);
            const std::size_t slash = sequence.rfind('/');
            name = sequence.substr(slash == std::string::npos ? 0 : slash + 1);
            folder = slash == std::string::npos ? "" : sequence.substr(0, slash + 1);
        }
    }
    if (name.empty() || name == "." || name == "..")
        name = "wall";
    return folder + "B_" + name + ".mp4";
}

// The result must not replace a panel: it is put in place after the panels were read.
static void refuseOverwritingAPanel(const Options& o, const std::string& what, const std::string& name)
{
    osFileIdentity result;
    if (!osIdentifyFile(name.c_str(), &result))
        return;
    for (const std::string& panel : o.panels) {
        osFileIdentity identity;
        if (osIdentifyFile(panel.c_str(), &identity) && osSameFile(identity, result))
            refuse("the " + what + " " + name + " would overwrite panel " + panel);
    }
}

// The frames to merge: as asked, else the panels' count where all hold as many, else (with
// --shortest) the shortest panel's; a panel holding too few is refused by name.
static std::int64_t framesToMerge(const Options& o, const std::vector<PanelInfo>& panels)
{
    std::size_t shortest = 0, longest = 0;
    for (std::size_t k = 0; k < panels.size(); k++) {
        if (panels[k].frames <= 0)
            refuse("panel " + panels[k].name + " holds no frames");
        if (o.frames > 0 && panels[k].frames < o.frames)
            refuse("panel " + panels[k].name + " holds only " + std::to_string(panels[k].frames) +
                   " frames, fewer than the " + std::to_string(o.frames) + " asked for");
        shortest = panels[k].frames < panels[shortest].frames ? k : shortest;
        longest = panels[k].frames > panels[longest].frames ? k : longest;
    }
    if (o.frames > 0)
        return o.frames;
    const std::int64_t fewest = panels[shortest].frames, most = panels[longest].frames;
    if (fewest != most && !o.shortest)
        refuse("panel " + panels[shortest].name + " holds " + std::to_string(fewest) + " frames and panel " +
               panels[longest].name + " " + std::to_string(most) + "; --shortest merges the first " +
               std::to_string(fewest) + " of every panel, --frames N the first N");
    return fewest;
}

// A range counts the frames of each panel from its first: a panel must reach it.
static void countFromRange(const Options& o, std::vector<PanelInfo>* panels)
{
    for (PanelInfo& panel : *panels) {
        if (o.start > 0 && panel.frames <= o.start)
            refuse("panel " + panel.name + " holds " + std::to_string(panel.frames) + " frames: none from frame " +
                   std::to_string(o.start) + " on");
        if (o.start > 0 && o.frames > 0 && panel.frames < o.start + o.frames)
            refuse("panel " + panel.name + " holds " + std::to_string(panel.frames) + " frames: only " +
                   std::to_string(panel.frames - o.start) + " from frame " + std::to_string(o.start) + " on, fewer than the " +
                   std::to_string(o.frames) + " asked for");
        panel.frames -= o.start;
    }
}

// ---- The run ----

struct Run {
    Options options;
    std::vector<PanelInfo> panels;
    RunParameters p{};
    std::string resultName;
    Decoders* decoders = nullptr;
    VideoOut* video = nullptr;
    OutputMovie movie;
    bool movieOpen = false;
    FrameBuffers buffers{};
    std::uint8_t planeFill[3] = {0, 0, 0};   // the gaps' Y, U and V, where planes are merged
};

static void closeEverything(Run* run)
{
    stopDecoders(run->decoders);
    run->decoders = nullptr;
    releaseVideo(run->video);
    run->video = nullptr;
    if (run->movieOpen)
        releaseOutputMovie(&run->movie);
    run->movieOpen = false;
    freeFrameBuffers(&run->buffers);
    clearProgress();
    showComplaints();
}

[[noreturn]] static void stopAsRequested(Run* run)
{
    closeEverything(run);
    const int signal = osStopRequested();
    const char* name = signal == SIGINT ? "INT" : signal == SIGTERM ? "TERM" : signal == SIGHUP ? "HUP" : "NAL";
    std::fprintf(stderr, "mozaro-video: stopped by SIG%s; nothing was written\n", name);
    osStopAsRequested();
}

// A stop once the run has begun: the reason as Mozaro ends its lines, and on standard error.
static int stopRun(Run* run, const std::string& reason)
{
    if (osStopRequested() != 0)
        stopAsRequested(run);
    say("%s\nStopping\n", reason.c_str());
    complain("%s", reason.c_str());
    closeEverything(run);
    return 1;
}

static int reportStop(Run* run, const StreamResult& stop, std::int64_t frame)
{
    const std::string panel = stop.panel >= 0 && std::size_t(stop.panel) < run->panels.size()
                                  ? run->panels[std::size_t(stop.panel)].name
                                  : std::string();
    switch (stop.status) {
    case streamStopRequested:
        stopAsRequested(run);
    case panelMovieEnded:
        return stopRun(run, "Input movie " + panel + " ended before frame " + std::to_string(frame) + " was complete");
    case panelMovieFailed:
        return stopRun(run, "Could not read input movie " + panel + " at frame " + std::to_string(frame) + ": " +
                                ffmpegErrorText(stop.error));
    case outputMovieFailed:
        return stopRun(run, "Could not write output movie " + run->resultName + ": " + ffmpegErrorText(stop.error));
    case streamGoesOn:
        break;
    }
    return 0;
}

static std::vector<osFileIdentity> panelIdentities(const Options& o)
{
    std::vector<osFileIdentity> identities;
    for (const std::string& panel : o.panels) {
        osFileIdentity identity;
        if (osIdentifyFile(panel.c_str(), &identity))
            identities.push_back(identity);
    }
    return identities;
}

static std::string outputFailure(const OutputResult& result, const char* verb, const std::string& name)
{
    switch (result.failure) {
    case descriptorFailed:
        return "Could not write movie descriptor " + name + ".mg: " + osErrorText(result.error);
    case directoryHasLineEnd:
        return "Could not write movie descriptor " + name + ".mg: the current directory's name holds a line end";
    case noRoom:
        return "Not enough room for output movie " + name + ": " + std::to_string(result.needed) + " bytes needed, " +
               std::to_string(result.available) + " bytes free";
    case beyondFileLimit:
        return "Output movie " + name + " would be " + std::to_string(result.needed) +
               " bytes, more than the limit of " + std::to_string(result.available) + " bytes a file may have";
    case lockKept:
        return std::string("Could not ") + verb + " output movie " + name + ": another process has held " +
               result.lockPath + " for " + std::to_string(lockWaitSeconds) + " seconds";
    case streamTaken:
        return std::string("Could not ") + verb + " output movie " + name +
               ": another run of Mozaro is writing into it";
    default:
        return std::string("Could not ") + verb + " output movie " + name + ": " + osErrorText(result.error);
    }
}

// Frames decoded as yuv420p, merged plane by plane and encoded, in order.
static FrameLoopResult mergePlanes(Run* run)
{
    const RunParameters& p = run->p;
    std::vector<const AVFrame*> frames(run->panels.size());
    PlaneSums sums;
    for (std::int64_t k = 0; k < p.nf; k++) {
        for (std::size_t panel = 0; panel < frames.size(); panel++) {
            StreamResult why;
            frames[panel] = decodedFrame(run->decoders, int(panel), k, &why);
            if (frames[panel] == nullptr)
                return FrameLoopResult{why, k};
        }
        AVFrame* out = planeFrame(run->video);
        if (out == nullptr)
            return FrameLoopResult{StreamResult{outputMovieFailed, 0, AVERROR(ENOMEM)}, k};
        for (int plane = 0; plane < 3; plane++)
            mergePlane(p, frames.data(), plane, run->planeFill[plane], out, &sums);
        const int error = encodePlaneFrame(run->video, k);
        showComplaints();
        if (error != 0)
            return FrameLoopResult{StreamResult{outputMovieFailed, 0, error}, k};
        if (osStopRequested() != 0)
            return FrameLoopResult{StreamResult{streamStopRequested, 0, 0}, k};
        if (!run->options.quiet)
            say("Finished Frame: %4lld\n", (long long)k);
        showProgress(k + 1);
    }
    return FrameLoopResult{StreamResult{streamGoesOn, 0, 0}, 0};
}

// Whether the decoded planes can be merged as they are: yuv420p everywhere, in sizes that
// tile (the seams even too, so that the chroma planes' seams fall between whole samples),
// and an encoder that takes them. Elsewhere the rgb24 frames are merged.
static bool planesMerge(const Run& run)
{
    if (run.options.rgb || !run.options.raw.empty() || !run.options.part.empty())
        return false;
    for (const PanelInfo& panel : run.panels)
        if (panel.format != AV_PIX_FMT_YUV420P)
            return false;
    const RunParameters& p = run.p;
    if (p.nx % 2 != 0 || p.ny % 2 != 0 || p.outWidth % 2 != 0 || p.outHeight % 2 != 0 || p.outWidth == 0 ||
        p.outHeight == 0 || p.gapX % 2 != 0 || p.gapY % 2 != 0 || p.overlapX % 2 != 0 || p.overlapY % 2 != 0)
        return false;
    const AVCodec* codec = avcodec_find_encoder_by_name(run.options.codec.c_str());
    for (const AVPixelFormat* format = codec->pix_fmts; format != nullptr && *format != AV_PIX_FMT_NONE; format++)
        if (*format == AV_PIX_FMT_YUV420P)
            return true;
    return false;
}

// --check: what the merge would make, for people and (--porcelain) for programs.
static int reportCheck(const Run& run, std::int64_t frames, const VideoSettings& settings, bool planes)
{
    const Options& o = run.options;
    const RunParameters& p = run.p;
    const bool raw = !o.raw.empty() || !o.part.empty();
    std::int64_t fewest = run.panels[0].frames;
    for (const PanelInfo& panel : run.panels)
        fewest = std::min(fewest, panel.frames);
    tell("movie", run.resultName);
    if (!raw && o.part.empty())
        tell("container", containerOf(settings.name));
    tell("width", std::int64_t(p.outWidth));
    tell("height", std::int64_t(p.outHeight));
    tell("panelWidth", std::int64_t(p.nx));
    tell("panelHeight", std::int64_t(p.ny));
    tell("firstFrame", o.start);
    tell("frames", frames);
    tell("fewestFrames", o.start + fewest);
    tell("rate", std::to_string(settings.rate.num) + "/" + std::to_string(settings.rate.den));
    tell("merge", std::string(raw ? "raw" : planes ? "planes" : "rgb24"));
    tell("bytes", raw ? std::int64_t(p.outFrameBytes) * frames : 0);
    say("Check passed: the merge would start\n");
    showComplaints();
    if (o.porcelain)
        tell("stop", std::string("none"));
    return 0;
}

static int merge(Run* run)
{
    Options& o = run->options;
    const bool part = !o.part.empty();
    const bool raw = !o.raw.empty() || part;
    run->resultName = part ? o.part : raw ? o.raw : o.output.empty() ? defaultName(o.firstNamed) : o.output;
    VideoSettings settings{run->resultName, o.codec, o.crf, o.preset, AVRational{0, 1}, o.jobs};
    settings.firstFrame = o.start;
    if (!raw) {
        if (containerOf(settings.name).empty())
            refuse("the video " + settings.name + " must end in .mp4, .mkv or .mov, which say its container");
        const std::string codecFailure = checkCodec(settings);
        if (!codecFailure.empty())
            refuse(codecFailure);
        refuseOverwritingAPanel(o, "video", settings.name);
    } else if (!part) {
        refuseOverwritingAPanel(o, "raw movie", o.raw);
        refuseOverwritingAPanel(o, "descriptor", o.raw + ".mg");
    }
    if (!o.rate.empty() && (av_parse_video_rate(&settings.rate, o.rate.c_str()) < 0 || settings.rate.num <= 0 ||
                            settings.rate.den <= 0))
        refuse("rate must be a number of frames per second, such as 25, 29.97 or 30000/1001: \"" + o.rate + "\"");

    run->panels = probePanels(o.panels, o.frames > 0 ? o.start + o.frames : 0);
    if (osStopRequested() != 0)
        stopAsRequested(run);
    for (const PanelInfo& panel : run->panels)
        if (!panel.failure.empty())
            refuse(panel.failure);
    const PanelInfo& first = run->panels[0];
    for (const PanelInfo& panel : run->panels)
        if (panel.width != first.width || panel.height != first.height)
            refuse("panel " + panel.name + " is " + std::to_string(panel.width) + " x " + std::to_string(panel.height) +
                   " pixels, not " + std::to_string(first.width) + " x " + std::to_string(first.height) +
                   " like panel " + first.name);
    countFromRange(o, &run->panels);
    const std::int64_t frames = framesToMerge(o, run->panels);
    if (frames > INT32_MAX)
        refuse("the panels hold more frames than Mozaro merges: " + std::to_string(frames));
    RunParameters& p = run->p;
    p = wallOf(o, first.width, first.height, std::int32_t(frames));
    const LimitBreach breach = checkRunLimits(p);
    if (breach != withinLimits)
        refuse(limitBreachText(p, breach));
    if (!raw && (p.outWidth == 0 || p.outHeight == 0))
        refuse("the merged frames are " + std::to_string(p.outWidth) + " x " + std::to_string(p.outHeight) +
               " pixels: there is nothing to encode");
    if (settings.rate.num == 0)
        settings.rate = first.rate.num > 0 ? first.rate : AVRational{25, 1};
    for (const PanelInfo& panel : run->panels)
        if (panel.rotation != 0)
            complain("panel %s is marked to be shown turned by %g degrees; its pixels are merged as stored",
                     panel.name.c_str(), panel.rotation);

    // The lines Mozaro prints for a merge.
    const char* const echoes[6] = {"ntx  = %4d\n", "nty  = %4d\n", "nx   = %4d\n",
                                   "ny   = %4d\n", "nf   = %4d\n", "nb   = %4d\n"};
    const std::int32_t numbers[6] = {p.ntx, p.nty, p.nx, p.ny, p.nf, p.nBlend};
    for (int k = 0; k < 6; k++)
        say(echoes[k], numbers[k]);
    std::vector<char*> names;
    for (std::string& panel : o.panels)
        names.push_back(&panel[0]);
    PanelGrid grid;
    grid.panelNames = names.data();
    listPanelLayout(p, grid);
    say("Resolution of merged and blended movie: %d %d\n", p.outWidth, p.outHeight);
    say("Name of merged and blended movie will be: %s\n", run->resultName.c_str());

    const bool planes = planesMerge(*run);
    if (planes && !planeFill(p.fill, first, run->planeFill))
        return stopRun(run, "Could not convert the gaps' colour to the panels' planes");
    if (o.check)
        return reportCheck(*run, frames, settings, planes);
    const int processors = osProcessorCount();
    const int threadsEach = o.jobs > 0 ? o.jobs : int(run->panels.size()) >= processors ? 1 : 0;
    std::string failure = startDecodersAt(run->panels, o.start, frames, !planes, threadsEach, &run->decoders);
    if (!failure.empty())
        return stopRun(run, failure);
    const std::vector<osFileIdentity> inputs = panelIdentities(o);
    MovieFrames movieFrames{&run->movie, p.outFrameBytes};
    FrameSink sink{};
    if (part) {
        const OutputResult opened = openMoviePart(&run->movie, o.part.c_str(), o.at, p, inputs);
        run->movieOpen = true;
        if (opened.failure != outputFine)
            return stopRun(run, "Could not write part " + o.part + ": " +
                                    (opened.error != 0                ? std::string(osErrorText(opened.error))
                                     : opened.failure == partIsInput ? std::string("it is one of the panel movies")
                                                                      : std::string("not a regular file")));
        sink = movieFrameSink(&movieFrames);
    } else if (raw) {
        OutputResult result = prepareOutputMovie(o.raw.c_str(), p, &run->movie);
        run->movieOpen = true;
        run->movie.inputs = inputs;
        if (result.failure == outputFine)
            result = createOutputMovie(&run->movie);
        if (result.failure != outputFine)
            return stopRun(run, outputFailure(result, "create", o.raw));
        sink = movieFrameSink(&movieFrames);
    } else {
        failure = openVideo(settings, p.outWidth, p.outHeight, planes, first, inputs, &run->video);
        if (!failure.empty())
            return stopRun(run, failure);
        const std::string note = paddingNote(run->video);
        if (!note.empty())
            complain("%s", note.c_str());
        sink = videoFrameSink(run->video);
    }
    showComplaints();
    if (!planes && !allocateFrameBuffers(planFrameBuffers(p, 0), &run->buffers))
        return stopRun(run, "Could not get the memory for the frame buffers");

    const bool watched = osStandardErrorIsTerminal();
    startProgress(watched, p.nf, p.tileFrameBytes * p.ntx * p.nty);
    FrameLoopResult loop;
    if (planes) {
        loop = mergePlanes(run);
    } else {
        std::vector<PanelMovie> sources(run->panels.size(), PanelMovie{osNoFile, false});
        for (std::size_t k = 0; k < sources.size(); k++)
            sources[k].source = panelSource(run->decoders, int(k));
        loop = runFrameLoop(p, sources.data(), sink, &run->buffers, 1, !o.quiet);
    }
    if (loop.stream.status != streamGoesOn)
        return reportStop(run, loop.stream, loop.frame);
    stopDecoders(run->decoders);
    run->decoders = nullptr;
    if (part) {
        const int error = finishMoviePart(&run->movie);
        if (error != 0)
            return stopRun(run, "Could not write part " + o.part + ": " + osErrorText(error));
        closeEverything(run);
        say("Finished merging and blending frames %lld to %lld into part %s from movie frame %lld on\n",
            (long long)o.start, (long long)(o.start + p.nf - 1), o.part.c_str(), (long long)o.at);
        return 0;
    }
    if (raw) {
        const OutputResult finished = finishOutputMovie(&run->movie);
        if (finished.failure != outputFine)
            return stopRun(run, outputFailure(finished, "write", o.raw));
    } else {
        const int error = finishVideo(run->video);
        if (error != 0)
            return stopRun(run, "Could not write output movie " + run->resultName + ": " + ffmpegErrorText(error));
    }
    closeEverything(run);
    say("Finished merging and blending movie %s\n", run->resultName.c_str());
    return 0;
}

int main(int argc, char** argv)
{
    bool outputWasClosed = false;
    osPrepareProcess(&outputWasClosed);
    routeFfmpegMessages();
    osRaiseOpenFileLimit();   // a panel's file, and its decoder's, for each of many panels
    // SVT-AV1 prints on its own: its errors only, unless the user asked for more.
    setenv("SVT_LOG", "1", 0);
    if (argc >= 2 && std::strcmp(argv[1], "--join") == 0)
        return joinSegments(argc, argv);
    static Run run;
    run.options = readCommandLine(argc, argv);
    const int status = merge(&run);
    showComplaints();
    if (status == 0 && (standardOutputError() != 0 || std::fflush(stdout) != 0)) {
        std::fprintf(stderr, "mozaro-video: could not write to standard output; %s was made all the same\n",
                     run.resultName.c_str());
        return 1;
    }
    return status;
}
