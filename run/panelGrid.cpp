#include <cstdio>

#include "run/run.h"

void fillPanelNames(char** argv, const CommandLine& commandLine, PanelGrid* grid)
{
    grid->panelNames = argv + commandLine.firstFile;
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

// A stream read for two panels would feed them alternate frames.
static StageResult refuseSharedStreams(const PanelGrid& grid, std::size_t panels)
{
    std::vector<std::size_t> streams;
    std::vector<osFileIdentity> identities;
    for (std::size_t k = 0; k < panels; k++) {
        osFileIdentity identity;
        bool stream = false;
        if (!osIdentifyOpenFile(grid.panelFiles[k], &identity, &stream) || !stream)
            continue;
        for (std::size_t s = 0; s < streams.size(); s++) {
            if (osSameFile(identities[s], identity)) {
                std::printf("Input movie %s is the same stream as %s; a pipe or device can feed one panel only\n"
                            "Stopping\n",
                            grid.panelNames[k], grid.panelNames[streams[s]]);
                return stageStopFailed;
            }
        }
        streams.push_back(k);
        identities.push_back(identity);
    }
    return stageGoOn;
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
            if (osStopRequested() != 0)   // a FIFO waiting for its writer, interrupted
                return stageStopFailed;
            std::printf("Could not open input file: %s\n", grid->panelNames[k]);
            // Every panel's movie stays open for the whole run.
            if (osTooManyOpenFiles(error))
                std::printf("%s: the %zu panels need as many files open at once\n", osErrorText(error), panels);
            std::fputs("Stopping\n", stdout);
            return stageStopFailed;
        }
        osAdviseSequential(grid->panelFiles[k]);
    }
    if (refuseSharedStreams(*grid, panels) != stageGoOn)
        return stageStopFailed;

    // A regular file's length is known now: a movie of frames of another size (a wrong nx
    // or ny) or one that is short stops the run before anything is created. Streams are
    // checked frame by frame as they are read.
    const std::int64_t frameBytes = runParameters.tileFrameBytes;
    for (std::size_t k = 0; k < panels; k++) {
        std::int64_t size;
        if (!osRegularFileSize(grid->panelFiles[k], &size))
            continue;
        if (size % frameBytes != 0) {
            std::printf("Input movie %s is %lld bytes long, not a whole number of frames of 3*nx*ny = %lld bytes\n"
                        "Stopping\n",
                        grid->panelNames[k], (long long)size, (long long)frameBytes);
            return stageStopFailed;
        }
        // nf * frameBytes may pass 64 bits; the quotient cannot.
        if (size / frameBytes < runParameters.nf) {
            std::printf("Input movie %s holds only %lld whole frames of the %d needed\nStopping\n", grid->panelNames[k],
                        (long long)(size / frameBytes), runParameters.nf);
            return stageStopFailed;
        }
    }
    return stageGoOn;
}

void closePanelMovies(PanelGrid* grid)
{
    for (osFile& file : grid->panelFiles) {
        if (file != osNoFile)
            osCloseAfterReading(file);
        file = osNoFile;
    }
}
