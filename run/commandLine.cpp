#include <cstdio>
#include <cstring>

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

// One line for the first limit the values break.
static void reportLimitBreach(const RunParameters& p, LimitBreach breach)
{
    switch (breach) {
    case ntxOutOfRange:
        std::printf("ntx = %d is out of range; allowed: 1 to %d\n", p.ntx, maxPanelsAcross);
        break;
    case ntyOutOfRange:
        std::printf("nty = %d is out of range; allowed: 1 to %d\n", p.nty, maxPanelsDown);
        break;
    case nxOutOfRange:
        std::printf("nx = %d is out of range; allowed: 1 or more\n", p.nx);
        break;
    case nyOutOfRange:
        std::printf("ny = %d is out of range; allowed: 1 or more\n", p.ny);
        break;
    case nfOutOfRange:
        std::printf("nf = %d is out of range; allowed: 0 or more\n", p.nf);
        break;
    case nBlendOutOfRange:
        std::printf("nBlend = %d is out of range; allowed: 1 to %d\n", p.nBlend, maxBlend);
        break;
    case mosaicTooWide:
        std::printf("Mosaic width nx*ntx = %lld pixels is out of range; allowed: at most %lld\n",
                    (long long)p.nx * p.ntx, (long long)maxMosaicWidth);
        break;
    case mosaicTooTall:
        std::printf("Mosaic height ny*nty = %lld pixels is out of range; allowed: at most %lld\n",
                    (long long)p.ny * p.nty, (long long)maxMosaicHeight);
        break;
    case withinLimits:
        break;
    }
}

// Options come before the numbers only, so that no command line that worked before they
// existed changes its meaning: there such a first argument was no number.
static StageResult readOptions(int argc, char** argv, CommandLine* commandLine)
{
    *commandLine = CommandLine{nullptr, false, 1, 0};
    for (int a = 1; a < argc; a++) {
        const char* option = argv[a];
        if (std::strcmp(option, "-y") == 0 || std::strcmp(option, "--yes") == 0) {
            commandLine->acceptName = true;
        } else if (std::strcmp(option, "-o") == 0 || std::strcmp(option, "--output") == 0) {
            if (a + 1 == argc) {
                std::printf("%s (argument %d) needs the movie's name after it\nStopping\n", option, a);
                return stageStopFailed;
            }
            commandLine->outputName = argv[++a];
        } else {
            break;
        }
        commandLine->firstNumber = a + 1;
    }
    commandLine->firstFile = commandLine->firstNumber + 6;
    return stageGoOn;
}

StageResult parseRunParameters(int argc, char** argv, RunParameters* runParameters, CommandLine* commandLine)
{
    // Honoured alone only: with anything else beside them they are an ordinary command line.
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
        std::fputs(usageText, stdout);
        return stageStopDone;
    }
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("Mozaro %s\n", MOZARO_VERSION);
        return stageStopDone;
    }
    if (argc == 3 && std::strcmp(argv[1], "--describe") == 0)
        return describeMovie(argv[2]);
    if (readOptions(argc, argv, commandLine) != stageGoOn)
        return stageStopFailed;
    const int first = commandLine->firstNumber;
    if (argc < commandLine->firstFile + 1) {
        std::fputs(usageText, stdout);
        return stageStopFailed;
    }

    static const char* const names[6] = {"ntx", "nty", "nx", "ny", "nf", "nBlend"};
    static const char* const echoes[6] = {"ntx  = %4d\n", "nty  = %4d\n", "nx   = %4d\n",
                                          "ny   = %4d\n", "nf   = %4d\n", "nb   = %4d\n"};
    std::int32_t* fields[6] = {&runParameters->ntx, &runParameters->nty, &runParameters->nx,
                               &runParameters->ny,  &runParameters->nf,  &runParameters->nBlend};
    for (int a = 0; a < 6; a++) {
        NumberParse parsed = parseDecimal(argv[first + a], fields[a]);
        if (parsed == numberMissing) {
            std::printf("%s (argument %d) is not a number: \"%s\"\nStopping\n", names[a], first + a, argv[first + a]);
            return stageStopFailed;
        }
        if (parsed == numberTooLarge) {
            std::printf("%s (argument %d) does not fit a 32-bit integer: \"%s\"\nStopping\n", names[a], first + a,
                        argv[first + a]);
            return stageStopFailed;
        }
        std::printf(echoes[a], *fields[a]);
    }

    long long panels = (long long)runParameters->ntx * runParameters->nty;
    int files = argc - commandLine->firstFile;
    if (files != panels) {
        std::printf("You have specified ntx*nty = %lld panels.\n", panels);
        std::printf("However, you have specified %d files on the input line.\n", files);
        std::printf("You need to input one movie file per panel.\n");
        std::printf("Stopping\n");
        return stageStopFailed;
    }

    LimitBreach breach = checkRunLimits(*runParameters);
    if (breach != withinLimits) {
        reportLimitBreach(*runParameters, breach);
        std::printf("Stopping\n");
        return stageStopFailed;
    }

    for (int a = commandLine->firstFile; a < argc; a++) {
        if (std::strlen(argv[a]) > std::size_t(maxPanelNameBytes)) {
            std::printf("Movie file name at argument %d is longer than %d bytes\nStopping\n", a,
                        maxPanelNameBytes);
            return stageStopFailed;
        }
    }
    return stageGoOn;
}

void deriveSizes(RunParameters* runParameters)
{
    computeSizes(runParameters);
    std::printf("Resolution of merged and blended movie: %d %d\n", runParameters->outWidth,
                runParameters->outHeight);
}
