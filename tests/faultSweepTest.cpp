// Every call of the operating-system layer fails in turn, in a few representative runs: none
// may crash, hang, call a failure success, lose the earlier movie or leave a descriptor of a
// movie that is not whole. Needs the tool built with the fault switch (MOZARO_FAULTS).
#include <gtest/gtest.h>

#include <random>

#include "faultSweep.h"

namespace {

void sweep(const SweepScenario& s)
{
    sweepAndReport(s, {"error", "interrupt", "short"});
}

TEST(FaultSweep, ReplacingAnEarlierMovieThroughTheDialogue)
{
    std::mt19937 rng(1);
    SweepScenario s{"a 2 x 1 grid replacing an earlier movie with --sync, nBlend 1",
                    randomGrid(rng, 2, 1, 4, 3, 3, 1), {"--sync"}, "Yes new yes\n", "new"};
    s.earlierMovie = true;
    s.syncs = true;
    sweep(s);
}

TEST(FaultSweep, ThreeWorkersReplacingAnEarlierMovie)
{
    std::mt19937 rng(5);
    SweepScenario s{"a 2 x 2 grid merged by 3 workers, 5 frames, nBlend 2",
                    randomGrid(rng, 2, 2, 6, 4, 5, 2), {"-j", "3", "-o", "wall"}, "", "wall"};
    s.earlierMovie = true;
    sweep(s);
}

TEST(FaultSweep, TwoWorkersReplacingAnEarlierMovieOnStorage)
{
    // The worker threads' reads and writes at their places, the lock, the second name, the
    // room set aside and the free space, each failing in turn under --sync.
    std::mt19937 rng(6);
    SweepScenario s{"a 2 x 1 grid merged by 2 workers with --sync, 4 frames, nBlend 2",
                    randomGrid(rng, 2, 1, 6, 4, 4, 2), {"-j", "2", "--sync", "-o", "wall"}, "", "wall"};
    s.earlierMovie = true;
    s.syncs = true;
    sweep(s);
}

TEST(FaultSweep, BlendThreeAcrossBandsAndPanelRows)
{
    // Rows of 420,000 bytes: one row a band, so blocks of 3 rows go through the column sums.
    std::mt19937 rng(2);
    sweep(SweepScenario{"a 2 x 2 grid of 70000 x 2 panels, nBlend 3", randomGrid(rng, 2, 2, 70000, 2, 1, 3), {"-y"}, "",
                        "B_f0"});
}

TEST(FaultSweep, AFifoPanel)
{
    std::mt19937 rng(3);
    SweepScenario s{"a 3 x 1 grid with one FIFO panel, nBlend 2", randomGrid(rng, 3, 1, 20, 6, 3, 2),
                    {"-o", "merged"}, "", "merged"};
    s.fifoPanel = 1;
    s.earlierMovie = true;
    sweep(s);
}

TEST(FaultSweep, OutputToAFifo)
{
    std::mt19937 rng(4);
    SweepScenario s{"a 2 x 2 grid written into a FIFO, nBlend 2", randomGrid(rng, 2, 2, 16, 8, 2, 2),
                    {"-o", "out"}, "", "out"};
    s.fifoOutput = true;
    sweep(s);
}

}  // namespace
