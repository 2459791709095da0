// The fault sweep: a run is made once with every call of the tool's operating-system layer
// counted, then once for every N with call N failing (a build with the fault switch,
// MOZARO_FAULTS), and after each the rules that keep the user's data are checked.
#pragma once

#include <string>
#include <vector>

#include "testSystem.h"

// Run on the test program's system (testSystem.h): its line ends and its descriptor.
struct SweepScenario {
    const char* what;
    MovieGrid grid;                     // panels f0, f1, ... (a FIFO where named below)
    std::vector<std::string> options;   // before the six numbers
    std::string input;                  // standard input
    std::string movie;                  // the movie's name
    bool earlierMovie = false;          // an earlier movie and descriptor to keep or replace
    int fifoPanel = -1;                 // the panel read from a FIFO, or -1
    bool fifoOutput = false;            // the movie is a FIFO
    bool syncs = false;                 // --sync: the new movie must be synced before its rename
};

struct SweepReport {
    int calls;                          // layer calls of the clean run
    int runs;                           // runs with a call failing
    std::vector<std::string> violations;
};

// Sweeps one kind of failure ("error", "interrupt" or "short") over every call of the
// clean run that such a failure applies to.
SweepReport sweepFaults(const SweepScenario& scenario, const std::string& kind);

// Sweeps each kind in turn, prints how many failures were tried and fails the test on
// every violation. Where MOZARO_SWEEP_REPORT names a file, adds one line to it:
// "<failures tried> <violations> <what>".
void sweepAndReport(const SweepScenario& scenario, const std::vector<std::string>& kinds);
