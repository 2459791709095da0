#include <cstdio>
#include <cstring>

#include "run/run.h"

char panelNames[maxPanelsDown][maxPanelsAcross][panelNameCapacity];
osFile panelFiles[maxPanelsDown][maxPanelsAcross];

void fillPanelNames(char** argv, const RunParameters& runParameters)
{
    for (int i = 0; i < runParameters.nty; i++)
        for (int j = 0; j < runParameters.ntx; j++)
            std::strcpy(panelNames[i][j], argv[firstFileArgument + i * runParameters.ntx + j]);
}

void listPanelLayout(const RunParameters& runParameters)
{
    std::fputs("Layout of panels:\n", stdout);
    for (int i = runParameters.nty - 1; i >= 0; i--) {
        for (int j = 0; j < runParameters.ntx; j++)
            std::printf("  %s", panelNames[i][j]);
        std::fputs("\n", stdout);
    }
}

StageResult openPanelMovies(const RunParameters& runParameters)
{
    for (int i = 0; i < maxPanelsDown; i++)
        for (int j = 0; j < maxPanelsAcross; j++)
            panelFiles[i][j] = osNoFile;

    for (int i = 0; i < runParameters.nty; i++) {
        for (int j = 0; j < runParameters.ntx; j++) {
            if (osOpenForReading(panelNames[i][j], &panelFiles[i][j]) != 0) {
                panelFiles[i][j] = osNoFile;
                std::printf("Could not open input file: %s\nStopping\n", panelNames[i][j]);
                return stageStopFailed;
            }
            osAdviseSequential(panelFiles[i][j]);
        }
    }

    // A regular file's length is known now, so a short movie stops the run before the
    // first frame instead of leaving a half-written output behind. Streams are checked
    // frame by frame as they are read.
    const std::int64_t needed = std::int64_t(runParameters.nf) * runParameters.tileFrameBytes;
    for (int i = 0; i < runParameters.nty; i++) {
        for (int j = 0; j < runParameters.ntx; j++) {
            std::int64_t size;
            if (osRegularFileSize(panelFiles[i][j], &size) && size < needed) {
                std::printf("Input movie %s holds only %lld whole frames of the %d needed\nStopping\n",
                            panelNames[i][j], (long long)(size / runParameters.tileFrameBytes),
                            runParameters.nf);
                return stageStopFailed;
            }
        }
    }
    return stageGoOn;
}

void closePanelMovies(const RunParameters& runParameters)
{
    // Nothing was written to the inputs, so a failing close loses nothing.
    for (int i = 0; i < runParameters.nty; i++) {
        for (int j = 0; j < runParameters.ntx; j++) {
            if (panelFiles[i][j] != osNoFile)
                (void)osClose(panelFiles[i][j]);
            panelFiles[i][j] = osNoFile;
        }
    }
}
