#include <cstdio>

#include "run/run.h"

void fillPanelNames(char** argv, PanelGrid* grid)
{
    grid->panelNames = argv + firstFileArgument;
}

void listPanelLayout(const RunParameters& runParameters, const PanelGrid& grid)
{
    std::fputs("Layout of panels:\n", stdout);
    for (std::int32_t i = runParameters.nty - 1; i >= 0; i--) {
        for (std::int32_t j = 0; j < runParameters.ntx; j++)
            std::printf("  %s", grid.panelNames[std::size_t(i) * std::size_t(runParameters.ntx) + std::size_t(j)]);
        std::fputs("\n", stdout);
    }
}

StageResult openPanelMovies(const RunParameters& runParameters, PanelGrid* grid)
{
    const std::size_t panels = std::size_t(runParameters.ntx) * std::size_t(runParameters.nty);
    grid->panelFiles.assign(panels, osNoFile);
    osRaiseOpenFileLimit();
    for (std::size_t k = 0; k < panels; k++) {
        int error = osOpenForReading(grid->panelNames[k], &grid->panelFiles[k]);
        if (error != 0) {
            grid->panelFiles[k] = osNoFile;
            std::printf("Could not open input file: %s\n", grid->panelNames[k]);
            // Every panel's movie stays open for the whole run.
            if (osTooManyOpenFiles(error))
                std::printf("%s: the %zu panels need as many files open at once\n", osErrorText(error), panels);
            std::fputs("Stopping\n", stdout);
            return stageStopFailed;
        }
        osAdviseSequential(grid->panelFiles[k]);
    }

    // A regular file's length is known now, so a short movie stops the run before the
    // first frame instead of leaving a half-written output behind. Streams are checked
    // frame by frame as they are read.
    for (std::size_t k = 0; k < panels; k++) {
        std::int64_t size;
        if (osRegularFileSize(grid->panelFiles[k], &size) && size / runParameters.tileFrameBytes < runParameters.nf) {
            std::printf("Input movie %s holds only %lld whole frames of the %d needed\nStopping\n", grid->panelNames[k],
                        (long long)(size / runParameters.tileFrameBytes), runParameters.nf);
            return stageStopFailed;
        }
    }
    return stageGoOn;
}

void closePanelMovies(PanelGrid* grid)
{
    // Nothing was written to the inputs, so a failing close loses nothing.
    for (osFile& file : grid->panelFiles) {
        if (file != osNoFile)
            (void)osClose(file);
        file = osNoFile;
    }
}
