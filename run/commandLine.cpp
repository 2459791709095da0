#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "run/run.h"

static const char* const usageText =
    "usage: Mozaro ntx nty nx ny nf nBlend file00 [file01 ...]\n"
    "    ntx    = # of tiles in x-direction\n"
    "    nty    = # of tiles in y-direction\n"
    "    nx     = tile resolution in x-direction\n"
    "    ny     = tile resolution in y-direction\n"
    "    nf     = # of frames in movie\n"
    "    nBlend = blend factor\n"
    "    file?? = names of  raw movie files to be merged and blended\n";

// --help: the usage text, then the options. A wrong command line gets the usage text alone,
// as it always has, so that scripts comparing it are not misled.
static const char* const optionsText =
    "options, before the six numbers:\n"
    "    -o, --output NAME      name the movie NAME and accept it, without the question\n"
    "    -y, --yes              accept the proposed name, B_<file00>, without the question\n"
    "    -j, --jobs N           merge with N threads; one per processor when left out\n"
    "    --start FIRST          begin at frame FIRST of every panel (frames count from 0)\n"
    "    --step S               take every S-th frame from there; 1 when left out\n"
    "    --sync                 put the movie on storage before it replaces an earlier one\n"
    "    --check                check all a merge needs, say what it would make, create nothing\n"
    "    --progress             show the progress line on standard error ...\n"
    "    --no-progress          ... or not; shown where standard error is a terminal\n"
    "    --drop-partial-frame   merge the whole frames of a panel whose last frame is cut short\n"
    "    --top-first            the files name the top row of panels first, each row left to right\n"
    "    --gap X[,Y]            X columns between neighbouring panels, Y rows between rows (Y = X)\n"
    "    --fill RRGGBB          the gaps' colour, in hex; 000000 when left out\n"
    "    --overlap X[,Y]        neighbours share X columns and Y rows; the left and lower panel keeps them\n"
    "    --round                round each block's mean to the nearest value instead of truncating it\n"
    "    --quiet                no \"Finished Frame\" lines\n"
    "    --porcelain            for programs: key=value lines on standard output, the messages on\n"
    "                           standard error, and a last line stop=<kind> (see docs/stops.md)\n"
    "    --part FILE --at K     (mozaro-slurm) write the frames into FILE from movie frame K on\n"
    "    --commit FILE          (mozaro-slurm) put FILE, the whole movie, in place\n"
    "alone:\n"
    "    --describe MOVIE.mg    the movie's path, width, height and frame count, one a line\n"
    "    --help                 this text\n"
    "    --version              the version\n";

// Most threads a run starts: far more than the processors of any machine it meets.
static const std::int32_t mostJobs = 1024;

static bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

NumberParse parseDecimal(const char* text, std::int32_t* value)
{
    const char* at = text;
    while (isBlank(*at))
        at++;
    bool negative = false;
    if (*at == '+' || *at == '-')
        negative = *at++ == '-';
    if (*at < '0' || *at > '9')
        return numberMissing;
    const std::int64_t limit = negative ? 2147483648LL : 2147483647LL;
    std::int64_t magnitude = 0;
    for (; *at >= '0' && *at <= '9'; at++) {
        magnitude = magnitude * 10 + (*at - '0');
        if (magnitude > limit)
            return numberTooLarge;
    }
    *value = std::int32_t(negative ? -magnitude : magnitude);
    return numberRead;
}

// A line of text, printf-like.
static std::string formatted(const char* format, ...) MOZARO_PRINTF_LIKE;
static std::string formatted(const char* format, ...)
{
    char line[256];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(line, sizeof line, format, arguments);
    va_end(arguments);
    return line;
}

std::string limitBreachText(const RunParameters& p, LimitBreach breach)
{
    switch (breach) {
    case ntxOutOfRange:
        return formatted("ntx = %d is out of range; allowed: 1 to %d", p.ntx, maxPanelsAcross);
    case ntyOutOfRange:
        return formatted("nty = %d is out of range; allowed: 1 to %d", p.nty, maxPanelsDown);
    case nxOutOfRange:
        return formatted("nx = %d is out of range; allowed: 1 or more", p.nx);
    case nyOutOfRange:
        return formatted("ny = %d is out of range; allowed: 1 or more", p.ny);
    case nfOutOfRange:
        return formatted("nf = %d is out of range; allowed: 0 or more", p.nf);
    case nBlendOutOfRange:
        return formatted("nBlend = %d is out of range; allowed: 1 to %d", p.nBlend, maxBlend);
    case mosaicTooWide:
        return formatted("Mosaic width %s = %lld pixels is out of range; allowed: at most %lld",
                         p.gapX > 0 || p.overlapX > 0 ? "with its seams" : "nx*ntx", (long long)mosaicWidthOf(p),
                         (long long)maxMosaicWidth);
    case mosaicTooTall:
        return formatted("Mosaic height %s = %lld pixels is out of range; allowed: at most %lld",
                         p.gapY > 0 || p.overlapY > 0 ? "with its seams" : "ny*nty", (long long)mosaicHeightOf(p),
                         (long long)maxMosaicHeight);
    case seamOutOfRange:
        return formatted("--gap and --overlap are out of range; allowed: 0 to %d pixels each", maxSeam);
    case gapAndOverlap:
        return "--gap and --overlap cannot be given together";
    case overlapTooWide:
        return formatted("--overlap = %d columns is out of range; allowed: less than nx = %d", p.overlapX, p.nx);
    case overlapTooTall:
        return formatted("--overlap = %d rows is out of range; allowed: less than ny = %d", p.overlapY, p.ny);
    case movieTooLarge: {
        RunParameters sized = p;
        computeSizes(&sized);
        return formatted("Movie size nf*3*outWidth*outHeight = %d frames of %lld bytes is out of range; allowed: at "
                         "most %lld bytes",
                         p.nf, (long long)sized.outFrameBytes, (long long)INT64_MAX);
    }
    case firstFrameOutOfRange:
        return formatted("--start = %d is out of range; allowed: 0 or more", p.firstFrame);
    case frameStepOutOfRange:
        return formatted("--step = %d is out of range; allowed: 1 or more", p.frameStep);
    case withinLimits:
        break;
    }
    return "";
}

// Argument `position`, `text`, read as the number `name`; false, after saying why, when it
// holds none or one beyond 32 bits.
static bool readNumber(const char* name, int position, const char* text, std::int32_t* value)
{
    const NumberParse parsed = parseDecimal(text, value);
    if (parsed == numberMissing)
        say("%s (argument %d) is not a number: \"%s\"\nStopping\n", name, position, text);
    else if (parsed == numberTooLarge)
        say("%s (argument %d) does not fit a 32-bit integer: \"%s\"\nStopping\n", name, position, text);
    return parsed == numberRead;
}

// The number after option argv[a]; false, after saying why, when there is none.
static bool optionNumber(int argc, char** argv, int a, std::int32_t* value)
{
    if (a + 1 == argc) {
        say("%s (argument %d) needs a number after it\nStopping\n", argv[a], a);
        return false;
    }
    return readNumber(argv[a], a + 1, argv[a + 1], value);
}

static bool optionName(int argc, char** argv, int a, const char** name, const char* what)
{
    if (a + 1 == argc) {
        say("%s (argument %d) needs %s after it\nStopping\n", argv[a], a, what);
        return false;
    }
    *name = argv[a + 1];
    return true;
}

// The seam after option argv[a]: X or X,Y (Y = X when left out); false, after saying why,
// when it is not that.
static bool optionSeam(int argc, char** argv, int a, std::int32_t* x, std::int32_t* y)
{
    if (a + 1 == argc) {
        say("%s (argument %d) needs X or X,Y after it\nStopping\n", argv[a], a);
        return false;
    }
    const char* text = argv[a + 1];
    if (!parseSeam(text, x, y)) {
        say("%s (argument %d) takes X or X,Y, whole numbers of pixels: \"%s\"\nStopping\n", argv[a], a + 1, text);
        return false;
    }
    return true;
}

// The colour after --fill: six hex digits, a byte each for the panels' three channels.
static bool optionColour(int argc, char** argv, int a, unsigned char fill[3])
{
    const char* text = a + 1 < argc ? argv[a + 1] : "";
    if (!parseFillColour(text, fill)) {
        say("%s (argument %d) takes a colour as six hex digits, RRGGBB: \"%s\"\nStopping\n", argv[a], a + 1, text);
        return false;
    }
    return true;
}

static bool is(const char* option, const char* shortName, const char* longName)
{
    return (shortName != nullptr && std::strcmp(option, shortName) == 0) || std::strcmp(option, longName) == 0;
}

// Options come before the numbers only, so that no command line that worked before they
// existed changes its meaning: there such a first argument was no number.
static StageResult readOptions(int argc, char** argv, RunParameters* p, CommandLine* c)
{
    *c = CommandLine{};
    c->progress = progressWhereWatched;
    c->firstNumber = 1;
    p->firstFrame = 0;
    p->frameStep = 1;
    p->gapX = p->gapY = p->overlapX = p->overlapY = 0;
    p->fill[0] = p->fill[1] = p->fill[2] = 0;
    p->roundMeans = false;
    std::int32_t at = 0;
    for (int a = 1; a < argc; a++) {
        const char* option = argv[a];
        bool good = true;
        if (is(option, "-y", "--yes")) {
            c->acceptName = true;
        } else if (is(option, "-o", "--output")) {
            good = optionName(argc, argv, a++, &c->outputName, "the movie's name");
        } else if (is(option, "-j", "--jobs")) {
            good = optionNumber(argc, argv, a++, &c->jobs);
            if (good && (c->jobs < 1 || c->jobs > mostJobs)) {
                say("%s = %d is out of range; allowed: 1 to %d\nStopping\n", option, c->jobs, mostJobs);
                good = false;
            }
        } else if (is(option, nullptr, "--start")) {
            good = optionNumber(argc, argv, a++, &p->firstFrame);
        } else if (is(option, nullptr, "--step")) {
            good = optionNumber(argc, argv, a++, &p->frameStep);
        } else if (is(option, nullptr, "--sync")) {
            c->sync = true;
        } else if (is(option, nullptr, "--check")) {
            c->check = true;
        } else if (is(option, nullptr, "--progress")) {
            c->progress = progressAlways;
        } else if (is(option, nullptr, "--no-progress")) {
            c->progress = progressNever;
        } else if (is(option, nullptr, "--drop-partial-frame")) {
            c->dropPartialFrame = true;
        } else if (is(option, nullptr, "--part")) {
            good = optionName(argc, argv, a++, &c->partFile, "the part's file name");
        } else if (is(option, nullptr, "--at")) {
            good = optionNumber(argc, argv, a++, &at);
            if (good && at < 0) {
                say("--at = %d is out of range; allowed: 0 or more\nStopping\n", at);
                good = false;
            }
        } else if (is(option, nullptr, "--commit")) {
            good = optionName(argc, argv, a++, &c->commitFile, "the movie's file name");
        } else if (is(option, nullptr, "--top-first")) {
            c->topFirst = true;
        } else if (is(option, nullptr, "--gap")) {
            good = optionSeam(argc, argv, a++, &p->gapX, &p->gapY);
        } else if (is(option, nullptr, "--overlap")) {
            good = optionSeam(argc, argv, a++, &p->overlapX, &p->overlapY);
        } else if (is(option, nullptr, "--fill")) {
            good = optionColour(argc, argv, a++, p->fill);
        } else if (is(option, nullptr, "--round")) {
            p->roundMeans = true;
        } else if (is(option, nullptr, "--quiet")) {
            c->quiet = true;
        } else if (is(option, nullptr, "--porcelain")) {
            c->porcelain = true;
            sendMessagesToStandardError();
        } else {
            break;
        }
        if (!good) {
            noteStop("option");
            return stageStopFailed;
        }
        c->firstNumber = a + 1;
    }
    c->partAt = at;
    c->firstFile = c->firstNumber + 6;
    // A part is written as it is asked for; a check creates nothing, not even a commit.
    c->mode = c->partFile != nullptr ? modePart : c->check ? modeCheck : c->commitFile != nullptr ? modeCommit : modeMerge;
    return stageGoOn;
}

RunMode aloneMode(int argc, char** argv)
{
    // Honoured alone only: with anything else beside them they are an ordinary command line.
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0)
        return modeHelp;
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0)
        return modeVersion;
    if (argc == 3 && std::strcmp(argv[1], "--describe") == 0)
        return modeDescribe;
    return modeMerge;
}

void printHelp()
{
    say("%s\n%s", usageText, optionsText);
}

void printVersion()
{
    say("Mozaro %s\n", MOZARO_VERSION);
}

StageResult parseRunParameters(int argc, char** argv, RunParameters* runParameters, CommandLine* commandLine)
{
    if (readOptions(argc, argv, runParameters, commandLine) != stageGoOn)
        return stageStopFailed;
    const int first = commandLine->firstNumber;
    if (argc < commandLine->firstFile + 1) {
        noteStop("usage");
        say("%s", usageText);
        return stageStopFailed;
    }

    static const char* const names[6] = {"ntx", "nty", "nx", "ny", "nf", "nBlend"};
    static const char* const echoes[6] = {"ntx  = %4d\n", "nty  = %4d\n", "nx   = %4d\n",
                                          "ny   = %4d\n", "nf   = %4d\n", "nb   = %4d\n"};
    std::int32_t* fields[6] = {&runParameters->ntx, &runParameters->nty, &runParameters->nx,
                               &runParameters->ny,  &runParameters->nf,  &runParameters->nBlend};
    for (int a = 0; a < 6; a++) {
        if (!readNumber(names[a], first + a, argv[first + a], fields[a])) {
            noteStop("number");
            return stageStopFailed;
        }
        say(echoes[a], *fields[a]);
    }

    long long panels = (long long)runParameters->ntx * runParameters->nty;
    int files = argc - commandLine->firstFile;
    if (files != panels) {
        noteStop("fileCount");
        say("You have specified ntx*nty = %lld panels.\n", panels);
        say("However, you have specified %d files on the input line.\n", files);
        say("You need to input one movie file per panel.\n");
        say("Stopping\n");
        return stageStopFailed;
    }

    LimitBreach breach = checkRunLimits(*runParameters);
    if (breach != withinLimits) {
        noteStop("limit");
        say("%s\nStopping\n", limitBreachText(*runParameters, breach).c_str());
        return stageStopFailed;
    }

    // A part's frames lie at their places in the movie: the last must end within 64 bits.
    const std::int64_t lastPartAt = largestMovieFrames(*runParameters) - runParameters->nf;
    if (commandLine->partAt > lastPartAt) {
        noteStop("option");
        say("--at = %lld is out of range; allowed: 0 to %lld\nStopping\n", (long long)commandLine->partAt,
            (long long)lastPartAt);
        return stageStopFailed;
    }

    for (int a = commandLine->firstFile; a < argc; a++) {
        if (std::strlen(argv[a]) > std::size_t(maxPanelNameBytes)) {
            noteStop("name");
            say("Movie file name at argument %d is longer than %d bytes\nStopping\n", a, maxPanelNameBytes);
            return stageStopFailed;
        }
    }
    return stageGoOn;
}

void deriveSizes(RunParameters* runParameters)
{
    computeSizes(runParameters);
    say("Resolution of merged and blended movie: %d %d\n", runParameters->outWidth, runParameters->outHeight);
}
