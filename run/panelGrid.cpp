#include <cstdint>

#include "platform/directories.h"
#include "platform/process.h"
#include "run/run.h"

void fillPanelNames(char** argv, const RunParameters& runParameters, const CommandLine& commandLine, PanelGrid* grid)
{
    grid->firstNamed = argv[commandLine.firstFile];
    grid->panelNames = argv + commandLine.firstFile;
    if (!commandLine.topFirst)
        return;
    // Named top row first: the file named k-th is row nty - 1 - k / ntx, column k mod ntx.
    const std::size_t ntx = std::size_t(runParameters.ntx), nty = std::size_t(runParameters.nty);
    grid->reordered.assign(ntx * nty, nullptr);
    for (std::size_t k = 0; k < ntx * nty; k++)
        grid->reordered[(nty - 1 - k / ntx) * ntx + k % ntx] = argv[std::size_t(commandLine.firstFile) + k];
    grid->panelNames = grid->reordered.data();
}

void listPanelLayout(const RunParameters& runParameters, const PanelGrid& grid)
{
    say("Layout of panels:\n");
    for (std::int32_t i = runParameters.nty - 1; i >= 0; i--) {
        std::string line;
        for (std::int32_t j = 0; j < runParameters.ntx; j++) {
            line += "  ";
            line += grid.panelNames[std::size_t(i) * std::size_t(runParameters.ntx) + std::size_t(j)];
        }
        say("%s\n", line.c_str());
    }
}

// A stream read for two panels would feed them alternate frames. Compared by the names'
// files before any is opened: a FIFO opened a second time after its writer has gone would
// wait for ever.
static StageResult refuseSharedStreams(const PanelGrid& grid, std::size_t panels)
{
    std::vector<std::size_t> streams;
    std::vector<osFileIdentity> identities;
    for (std::size_t k = 0; k < panels; k++) {
        osFileIdentity identity;
        if (!osIdentifyStream(grid.panelNames[k], &identity))
            continue;
        for (std::size_t s = 0; s < streams.size(); s++) {
            if (osSameFile(identities[s], identity)) {
                say("Input movie %s is the same stream as %s; a pipe or device can feed one panel only\nStopping\n",
                    grid.panelNames[k], grid.panelNames[streams[s]]);
                return stageStopFailed;
            }
        }
        streams.push_back(k);
        identities.push_back(identity);
    }
    return stageGoOn;
}

StageResult openPanelMovies(const RunParameters& runParameters, bool dropPartialFrame, PanelGrid* grid)
{
    const std::size_t panels = std::size_t(runParameters.ntx) * std::size_t(runParameters.nty);
    grid->panelFiles.assign(panels, PanelMovie{osNoFile, false});
    grid->fewestFrames = INT64_MAX;
    grid->mostFrames = 0;
    if (refuseSharedStreams(*grid, panels) != stageGoOn)
        return stageStopFailed;
    osRaiseOpenFileLimit();
    for (std::size_t k = 0; k < panels; k++) {
        PanelMovie& panel = grid->panelFiles[k];
        int error = osOpenForReading(grid->panelNames[k], &panel.file);
        if (error != 0) {
            panel.file = osNoFile;
            if (osStopRequested() != 0)   // a FIFO waiting for its writer, interrupted
                return stageStopFailed;
            // Scripts compare these two lines whole: the system's reason goes apart.
            say("Could not open input file: %s\nStopping\n", grid->panelNames[k]);
            // Every panel's movie stays open for the whole run.
            if (osTooManyOpenFiles(error))
                complainOfInput("could not open input file %s: %s: the %zu panels need as many files open at once\n",
                         grid->panelNames[k], osErrorText(error), panels);
            else
                complainOfInput("could not open input file %s: %s\n", grid->panelNames[k], osErrorText(error));
            return stageStopFailed;
        }
        std::int64_t size;
        panel.stream = !osRegularFileSize(panel.file, &size);
        if (panel.stream)
            continue;
        osAdviseSequential(panel.file);
        // A regular file's length is known now: a movie of frames of another size (a wrong
        // nx or ny) or one that is short stops the run before anything is created. Streams
        // are checked frame by frame as they are read.
        const std::int64_t frameBytes = runParameters.tileFrameBytes;
        if (size % frameBytes != 0 && !dropPartialFrame) {
            say("Input movie %s is %lld bytes long, not a whole number of frames of 3*nx*ny = %lld bytes\nStopping\n",
                grid->panelNames[k], (long long)size, (long long)frameBytes);
            return stageStopFailed;
        }
        // The frames the run reads times frameBytes may pass 64 bits; the quotient cannot.
        const std::int64_t frames = size / frameBytes;
        grid->fewestFrames = frames < grid->fewestFrames ? frames : grid->fewestFrames;
        grid->mostFrames = frames > grid->mostFrames ? frames : grid->mostFrames;
        if (frames < runParameters.framesNeeded) {
            say("Input movie %s holds only %lld whole frames of the %lld needed\nStopping\n", grid->panelNames[k],
                (long long)(size / frameBytes), (long long)runParameters.framesNeeded);
            return stageStopFailed;
        }
    }
    return stageGoOn;
}

void closePanelMovies(PanelGrid* grid)
{
    for (PanelMovie& panel : grid->panelFiles) {
        if (panel.file != osNoFile)
            osCloseAfterReading(panel.file);
        panel.file = osNoFile;
    }
}

std::vector<osFileIdentity> panelIdentities(const RunParameters& runParameters, const PanelGrid& grid)
{
    std::vector<osFileIdentity> identities;
    const std::size_t panels = std::size_t(runParameters.ntx) * std::size_t(runParameters.nty);
    for (std::size_t k = 0; k < panels; k++) {
        osFileIdentity identity;
        if (osIdentifyFile(grid.panelNames[k], &identity))
            identities.push_back(identity);
    }
    return identities;
}

bool anyPanelIsAStream(const PanelGrid& grid)
{
    for (const PanelMovie& panel : grid.panelFiles)
        if (panel.stream)
            return true;
    return false;
}
