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

StageResult parseRunParameters(int argc, char** argv, RunParameters* runParameters)
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
    if (argc < firstFileArgument + 1) {
        std::fputs(usageText, stdout);
        return stageStopFailed;
    }

    static const char* const names[6] = {"ntx", "nty", "nx", "ny", "nf", "nBlend"};
    static const char* const echoes[6] = {"ntx  = %4d\n", "nty  = %4d\n", "nx   = %4d\n",
                                          "ny   = %4d\n", "nf   = %4d\n", "nb   = %4d\n"};
    std::int32_t* fields[6] = {&runParameters->ntx, &runParameters->nty, &runParameters->nx,
                               &runParameters->ny,  &runParameters->nf,  &runParameters->nBlend};
    for (int a = 0; a < 6; a++) {
        NumberParse parsed = parseDecimal(argv[a + 1], fields[a]);
        if (parsed == numberMissing) {
            std::printf("%s (argument %d) is not a number: \"%s\"\nStopping\n", names[a], a + 1, argv[a + 1]);
            return stageStopFailed;
        }
        if (parsed == numberTooLarge) {
            std::printf("%s (argument %d) does not fit a 32-bit integer: \"%s\"\nStopping\n", names[a], a + 1,
                        argv[a + 1]);
            return stageStopFailed;
        }
        std::printf(echoes[a], *fields[a]);
    }

    long long panels = (long long)runParameters->ntx * runParameters->nty;
    int files = argc - firstFileArgument;
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

    for (int a = firstFileArgument; a < argc; a++) {
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
