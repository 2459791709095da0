#include <cstdio>

#include "frames/frames.h"
#include "output/output.h"
#include "run/run.h"

static int exitStatusOf(StageResult result)
{
    return result == stageStopDone ? 0 : 1;
}

int runDriver(int argc, char** argv)
{
    static RunParameters runParameters;

    StageResult stage = parseRunParameters(argc, argv, &runParameters);
    if (stage != stageGoOn)
        return exitStatusOf(stage);
    fillPanelNames(argv, runParameters);
    listPanelLayout(runParameters);
    deriveSizes(&runParameters);

    stage = confirmMovieName(runParameters, stdin);
    if (stage != stageGoOn)
        return exitStatusOf(stage);

    int error = openOutputMovie(movieName);
    if (error != 0) {
        std::printf("Could not create output movie %s: %s\nStopping\n", movieName, osErrorText(error));
        return 1;
    }
    stage = openPanelMovies(runParameters);
    if (stage != stageGoOn)
        return exitStatusOf(stage);

    for (std::int32_t k = 0; k < runParameters.nf; k++) {
        AssemblyResult assembly = assembleMosaic(runParameters, panelFiles, tileFrame, mosaicFrame);
        if (assembly.status != mosaicAssembled) {
            const char* panel = panelNames[assembly.panelRow][assembly.panelColumn];
            if (assembly.status == panelMovieEnded)
                std::printf("Input movie %s ended before frame %d was complete\nStopping\n", panel, k);
            else
                std::printf("Could not read input movie %s at frame %d: %s\nStopping\n", panel, k,
                            osErrorText(assembly.error));
            return 1;
        }
        const unsigned char* frame = reduceBlocks(runParameters, mosaicFrame, outFrame);
        error = runParameters.outFrameBytes > 0 ? writeMovieFrame(frame, runParameters.outFrameBytes) : 0;
        if (error != 0) {
            std::printf("Could not write output movie %s: %s\nStopping\n", movieName, osErrorText(error));
            return 1;
        }
        std::printf("Finished Frame: %4d\n", k);
    }

    error = closeOutputMovie();
    closePanelMovies(runParameters);
    if (error != 0) {
        std::printf("Could not write output movie %s: %s\nStopping\n", movieName, osErrorText(error));
        return 1;
    }
    std::printf("Finished merging and blending movie %s\n", movieName);

    error = writeMovieDescriptor(movieName, runParameters);
    if (error != 0) {
        std::printf("Could not write movie descriptor %s.mg: %s\nStopping\n", movieName, osErrorText(error));
        return 1;
    }
    return 0;
}
