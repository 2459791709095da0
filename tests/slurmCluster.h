// A private Slurm cluster on this machine for the tests that need a real one: the first test
// that asks starts it with tools/slurmCluster.sh, and the same script stops it when the test
// program ends.
#pragma once

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "testSupport.h"

struct SlurmCluster {
    bool running;
    bool cannotStart;                      // the script found that no cluster can start here
    std::string reason;                    // why it is not running, in the script's words
    std::string folder;                    // its configuration, state and logs (log/)
    std::vector<std::string> environment;  // NAME=value, all that its clients are given
};

// Starts the cluster on the first call; later calls return the same one.
const SlurmCluster& slurmCluster();

// Runs a program (a path or a name on PATH) in `folder` with the cluster's environment and
// nothing on standard input; its output goes beside `folder`, as for runTool. A program that
// has not ended after `seconds` is killed and reported as such (status 128 + 9).
ToolOutcome runInSlurmCluster(const std::string& folder, std::vector<std::string> args, int seconds = 120);

// Skips the calling test where no cluster can start here, with the script's reason, and fails
// it where the start went wrong in any other way.
#define NEED_SLURM_CLUSTER()                                 \
    do {                                                     \
        const SlurmCluster& cluster_ = slurmCluster();       \
        if (!cluster_.running) {                             \
            if (cluster_.cannotStart)                        \
                GTEST_SKIP() << cluster_.reason;             \
            FAIL() << cluster_.reason;                       \
        }                                                    \
    } while (0)
