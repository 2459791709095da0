// mozaro-slurm, the merge split by frame ranges over a Slurm job array, against the private
// cluster: its movie and descriptor are those of one Mozaro run, all or nothing.
#include <chrono>
#include <regex>
#include <set>
#include <thread>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "slurmCluster.h"
#include "testSupport.h"

namespace {

// The copy beside the built Mozaro, which it finds there.
const std::string slurmScript = MOZARO_SLURM;

std::vector<std::string> joined(std::vector<std::string> a, const std::vector<std::string>& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
ToolOutcome inCluster(const std::string& folder, const std::vector<std::string>& args)
{
    return runInSlurmCluster(folder, joined({slurmScript}, args));
}
// Movie B and its descriptor.
std::string pairIn(const std::string& folder)
{
    return readText(folder + "/B") + "|" + readText(folder + "/B.mg");
}
const std::string earlierPair = "earlier movie|earlier descriptor\n";
// The state folder of movie B, named after the CRC of its name.
const std::string stateOfB = ".mozaro-slurm-1a8a100b";
// What one Mozaro run makes of `args` as movie B; an earlier pair takes its place.
std::string mergeOnOneMachine(const std::string& folder, const std::vector<std::string>& args)
{
    EXPECT_EQ(runMozaro(folder, joined({"-j", "1", "-o", "B"}, args), "").status, 0);
    const std::string made = pairIn(folder);
    writeText(folder + "/B", "earlier movie");
    writeText(folder + "/B.mg", "earlier descriptor\n");
    return made;
}
std::string jobId(const std::string& out, const char* what)
{
    std::smatch id;
    EXPECT_TRUE(std::regex_search(out, id, std::regex(std::string("Submitted ") + what + " ([0-9]+)"))) << out;
    return id.size() > 1 ? id[1].str() : "none";
}
// Task logs of an array (slurm-<array>_), the state folder (.mozaro-slurm-).
std::vector<std::string> namesFrom(const std::string& folder, const std::string& prefix)
{
    std::vector<std::string> names;
    for (const std::string& name : listFolder(folder))
        if (name.rfind(prefix, 0) == 0)
            names.push_back(name);
    return names;
}
// A job of movie B in 4 tasks, submitted held: the ids of its array and final job.
std::vector<std::string> heldJob(const std::string& folder, const std::vector<std::string>& args)
{
    ToolOutcome job = inCluster(folder, joined({"--tasks", "4", "--hold", "--", "-o", "B"}, args));
    EXPECT_EQ(job.status, 0) << job.out << job.err;
    // A task is given one processor where --cpus-per-task says nothing: so is the check.
    EXPECT_TRUE(std::regex_search(job.out, std::regex("\nMemory: [0-9]+ bytes of frame buffers for 1 threads\n")))
        << job.out;
    return {jobId(job.out, "job array"), jobId(job.out, "final job")};
}
void release(const std::string& folder, const std::vector<std::string>& ids)
{
    for (const std::string& id : ids)
        EXPECT_EQ(runInSlurmCluster(folder, {"scontrol", "release", id}).status, 0) << id;
}
void waitForJobs(const std::string& folder, const std::vector<std::string>& ids)
{
    const std::string list = ids[0] + "," + ids[1];
    EXPECT_EQ(runInSlurmCluster(folder, {"sh", "-c", "while squeue -h -j " + list + " | grep -q .; do sleep 0.2; done"})
                  .status, 0) << list;
}

TEST(MozaroSlurm, EveryJobMakesTheMovieAndDescriptorOfOneMozaroRun)
{
    NEED_SLURM_CLUSTER();
    std::mt19937 rng(7);
    struct {
        const char* what;
        std::vector<std::string> options;        // of mozaro-slurm, then of Mozaro
        MovieGrid grid;
        int nf;                                  // frames merged, of the grid's
        std::size_t tasks;
        std::string said;
    } const cases[] = {
        {"4 tasks, nBlend 1", {"--tasks", "4", "--wait", "--"}, randomGrid(rng, 2, 2, 16, 12, 10, 1), 10, 4,
         ": tasks 0-3 of 4, 2 to 3 frames each, logs slurm-"},
        {"4 tasks, nBlend 3, edges left out", {"--tasks", "4", "--wait", "--"}, randomGrid(rng, 3, 2, 10, 7, 8, 3), 8, 4,
         ": tasks 0-3 of 4, 2 frames each, logs slurm-"},
        {"more tasks asked than frames", {"--tasks", "10", "--wait", "--"}, randomGrid(rng, 1, 2, 8, 6, 3, 2), 3, 3,
         "\nTasks: 3, one per frame: never more tasks than frames\n"},
        {"one task per 100 frames, --start and --step", {"--wait", "--", "--start", "2", "--step", "3"},
         randomGrid(rng, 2, 1, 6, 4, 16, 2), 5, 1, ": task 0 of 1, 5 frames each, logs slurm-"},
        {"the wall options, given to every job", {"--tasks", "3", "--wait", "--", "--top-first", "--gap", "2,1", "--fill",
         "ff8000", "--round"}, randomGrid(rng, 2, 2, 6, 4, 6, 2), 6, 3, ": tasks 0-2 of 3, 2 frames each, logs slurm-"},
        {"no frames: the final job alone", {"--tasks", "4", "--wait", "--"}, randomGrid(rng, 1, 1, 4, 4, 0, 1), 0, 0,
         "\nNo frames: no job array; the final job alone puts the empty movie in place\n"},
    };
    for (const auto& c : cases) {
        const std::string folder = makeScratchFolder();
        std::vector<std::string> args = writeGrid(folder, c.grid);
        args[4] = std::to_string(c.nf);
        const std::vector<std::string> mozaroOptions(std::find(c.options.begin(), c.options.end(), "--") + 1,
                                                     c.options.end());
        const std::string oneRun = mergeOnOneMachine(folder, joined(mozaroOptions, args));
        ToolOutcome job = inCluster(folder, joined(joined(c.options, {"-o", "B"}), args));
        EXPECT_EQ(job.status, 0) << c.what << job.out << job.err;
        EXPECT_EQ(job.err, "") << c.what;
        EXPECT_NE(job.out.find("\nCheck passed: the merge would start\n"), std::string::npos) << c.what << job.out;
        EXPECT_NE(job.out.find(c.said), std::string::npos) << c.what << job.out;
        EXPECT_EQ(job.out.substr(job.out.rfind('\n', job.out.size() - 2) + 1), "Finished merging and blending movie B\n")
            << c.what;
        EXPECT_EQ(pairIn(folder), oneRun) << c.what;
        if (c.tasks > 0) {
            EXPECT_EQ(namesFrom(folder, "slurm-" + jobId(job.out, "job array") + "_").size(), c.tasks) << c.what;
        }
        EXPECT_TRUE(namesFrom(folder, ".mozaro-slurm-").empty()) << c.what;
    }
}

// Panel f1 cannot be reached once the first task is done: the later ranges fail, the final
// job never runs, and a resume once it can be reached again runs only those.
TEST(MozaroSlurm, AFailedTaskLeavesTheEarlierPairAndAResumeCompletesTheJob)
{
    NEED_SLURM_CLUSTER();
    std::mt19937 rng(11);
    const MovieGrid grid = randomGrid(rng, 2, 2, 8, 6, 8, 2);
    const std::string folder = makeScratchFolder();
    const std::vector<std::string> args = writeGrid(folder, grid);
    const std::string oneRun = mergeOnOneMachine(folder, args);
    const std::vector<std::string> ids = heldJob(folder, args);
    release(folder, {ids[1], ids[0] + "_0"});
    for (int tenths = 0; tenths < 600 && !fileExists(folder + "/" + stateOfB + "/done/0"); tenths++)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_EQ(rename((folder + "/f1").c_str(), (folder + "/f1.away").c_str()), 0);
    release(folder, {ids[0] + "_1", ids[0] + "_2", ids[0] + "_3"});
    waitForJobs(folder, ids);
    EXPECT_EQ(pairIn(folder), earlierPair);
    const std::string log = readText(folder + "/slurm-" + ids[0] + "_2.out");
    for (const char* line : {"mozaro-slurm: task 2 of 4 merges movie frames 4 to 5 of 8 of B\nntx  =    2\n",
                             "\nmozaro-slurm: task 2 failed (status 1): once its cause is mended, mozaro-slurm --resume "
                             "B runs again the ranges that did not finish\n"})
        EXPECT_NE(log.find(line), std::string::npos) << log;
    EXPECT_FALSE(fileExists(folder + "/slurm-" + ids[1] + ".out"));

    // Not yet mended: the resume says so before it submits anything.
    ToolOutcome again = inCluster(folder, {"--wait", "--resume", "B"});
    EXPECT_EQ(again.status, 1);
    EXPECT_EQ(again.err, "mozaro-slurm: input movie f1 is missing or cannot be read: a resume needs the files the job "
                         "was submitted with\n");
    EXPECT_EQ(pairIn(folder), earlierPair);

    ASSERT_EQ(rename((folder + "/f1.away").c_str(), (folder + "/f1").c_str()), 0);
    // Under a umask that lets the group write: the movie is made as a Mozaro run would make it.
    ToolOutcome resumed = runInSlurmCluster(folder, {"sh", "-c", "umask 002 && exec \"$0\" \"$@\"", slurmScript,
                                                     "--wait", "--resume", "B"});
    EXPECT_EQ(resumed.status, 0) << resumed.out << resumed.err;
    EXPECT_EQ(resumed.out.substr(0, resumed.out.find('\n') + 1),
              "Resuming the job of movie B: ranges 1-3 of 4 did not finish\n");
    const std::string rerun = "slurm-" + jobId(resumed.out, "job array") + "_";
    EXPECT_EQ(namesFrom(folder, rerun), (std::vector<std::string>{rerun + "1.out", rerun + "2.out", rerun + "3.out"}));
    EXPECT_EQ(pairIn(folder), oneRun);
    struct stat movie;
    ASSERT_EQ(stat((folder + "/B").c_str(), &movie), 0);
    EXPECT_EQ(movie.st_mode & 0777, 0664u);
    EXPECT_TRUE(namesFrom(folder, ".mozaro-slurm-").empty());
}

// The array is cancelled once its first task is done: the final job is cancelled with it, the
// earlier pair stays, and the next job of the movie removes what the given-up one left.
TEST(MozaroSlurm, ACancelledJobLeavesTheEarlierPairAndTheNextJobCleansUp)
{
    NEED_SLURM_CLUSTER();
    std::mt19937 rng(13);
    const std::string folder = makeScratchFolder();
    const std::vector<std::string> args = writeGrid(folder, randomGrid(rng, 2, 1, 8, 6, 8, 1));
    const std::string oneRun = mergeOnOneMachine(folder, args);
    const std::vector<std::string> ids = heldJob(folder, args);
    const std::vector<std::string> state = namesFrom(folder, ".mozaro-slurm-");
    ASSERT_EQ(state.size(), 1u);
    release(folder, {ids[1], ids[0] + "_0"});
    for (int tenths = 0; tenths < 600 && !fileExists(folder + "/" + state[0] + "/done/0"); tenths++)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_EQ(runInSlurmCluster(folder, {"scancel", ids[0]}).status, 0);
    waitForJobs(folder, ids);
    EXPECT_EQ(pairIn(folder), earlierPair);
    EXPECT_FALSE(fileExists(folder + "/slurm-" + ids[1] + ".out"));

    ToolOutcome next = inCluster(folder, joined({"--wait", "--", "-o", "B"}, args));
    EXPECT_EQ(next.status, 0) << next.out << next.err;
    EXPECT_NE(next.out.find("\nRemoved " + folder + "/" + state[0] + ", the part and state of a given-up job of movie B\n"),
              std::string::npos) << next.out;
    EXPECT_EQ(pairIn(folder), oneRun);
    EXPECT_TRUE(namesFrom(folder, ".mozaro-slurm-").empty());
}

// Refused before anything is submitted or created, where Slurm runs or not; last, Mozaro's
// --commit, which would have put only a descriptor beside a pipe.
TEST(MozaroSlurm, RefusesBeforeSubmittingAnything)
{
    struct {
        const char* what;
        std::vector<std::string> args;
        std::string said;   // on standard error, or Mozaro's on standard output
    } const cases[] = {
        {"a FIFO among the inputs", {slurmScript, "--", "-y", "2", "1", "2", "2", "1", "1", "f0", "fifo"},
         "mozaro-slurm: input movie fifo is a pipe (FIFO): its frames cannot be split among tasks; give a regular file\n"},
        {"a movie that is a FIFO", {slurmScript, "--", "-o", "fifo", "1", "1", "2", "2", "1", "1", "f0"},
         "mozaro-slurm: movie fifo is a pipe or device: a job's movie is put in place as a file; name a regular file\n"},
        {"a failed check", {slurmScript, "--", "-y", "1", "1", "2", "2", "2", "1", "f0"},
         "\nInput movie f0 holds only 1 whole frames of the 2 needed\nStopping\n"},
        {"--tasks beyond 1000", {slurmScript, "--tasks", "1001", "--", "-y", "1", "1", "2", "2", "1", "1", "f0"},
         "mozaro-slurm: --tasks must be a number from 1 to 1000: \"1001\"\n"},
        {"an sbatch option of its own", {slurmScript, "--dependency=afterok:1", "--", "-y", "1", "1", "2", "2", "1", "1", "f0"},
         "mozaro-slurm: sbatch option --dependency=afterok:1 is mozaro-slurm's own to give\n"},
        {"a Mozaro option of its own", {slurmScript, "--", "--commit", "x", "1", "1", "2", "2", "1", "1", "f0"},
         "mozaro-slurm: Mozaro's option --commit is mozaro-slurm's own to give\n"},
        {"no --", {slurmScript, "-y", "1", "1", "2", "2", "1", "1", "f0"}, "usage: mozaro-slurm "},
        {"nothing to resume", {slurmScript, "--resume", "B"}, "mozaro-slurm: no job of movie B to resume: "},
        // The check counts the memory of one task, with the threads it is given; with no answer
        // to the question it goes no further.
        {"a task's threads, by -c", {slurmScript, "-c", "3", "--", "1", "1", "1", "1", "4", "1", "f0"},
         " bytes of frame buffers for 3 threads\n"},
        {"a task's threads, by --cpus-per-task", {slurmScript, "--cpus-per-task=2", "--", "1", "1", "1", "1", "4", "1", "f0"},
         " bytes of frame buffers for 2 threads\n"},
        {"a task's one thread", {slurmScript, "--", "1", "1", "1", "1", "4", "1", "f0"},
         " bytes of frame buffers for 1 threads\n"},
        {"Mozaro --commit into a FIFO", {MOZARO_BINARY, "--commit", "f0", "-o", "fifo", "1", "1", "2", "2", "1", "1", "f0"},
         "\nCould not create output movie fifo: --commit cannot put a file in place of a pipe or device\nStopping\n"},
    };
    for (const auto& c : cases) {
        const std::string folder = makeScratchFolder();
        writeBytes(folder + "/f0", Bytes(12, 1));
        ASSERT_EQ(mkfifo((folder + "/fifo").c_str(), 0666), 0);
        ToolOutcome run = runTool(folder, c.args);
        EXPECT_EQ(run.status, 1) << c.what;
        EXPECT_NE((run.out + run.err).find(c.said), std::string::npos) << c.what << run.out << run.err;
        EXPECT_EQ(listFolder(folder), (std::vector<std::string>{"f0", "fifo"})) << c.what;
    }
}

// Two held submissions of one movie started together: one takes the state folder, the other
// is refused with a line naming what holds it, and the winner's state stays whole. From the
// second round on, both race to remove the state the round before left given up.
TEST(MozaroSlurm, OfTwoSubmissionsOfOneMovieAtOnceOneWins)
{
    NEED_SLURM_CLUSTER();
    std::mt19937 rng(17);
    const std::string folder = makeScratchFolder();
    const std::vector<std::string> args = writeGrid(folder, randomGrid(rng, 2, 1, 8, 6, 8, 1));
    const std::string parent = folder.substr(0, folder.rfind('/'));
    const std::regex refusal("^mozaro-slurm: (mozaro-slurm \\(process [0-9]+\\) is submitting a job of movie B|the job "
                             "of movie B is still queued or running \\(jobs [0-9]+ [0-9]+\\)|another mozaro-slurm is "
                             "submitting a job of movie B)[:;, \\n]");
    ChildLimits inTheCluster;
    inTheCluster.environment = &slurmCluster().environment;
    for (int round = 0; round < 5; round++) {
        std::vector<StartedRun> runs;
        for (int k = 0; k < 2; k++) {
            const std::string prefix = parent + "/race" + std::to_string(round) + std::to_string(k);
            runs.push_back(startChild(folder, joined({slurmScript, "--tasks", "4", "--hold", "--", "-o", "B"}, args),
                                      "/dev/null", prefix + ".out", prefix + ".err", inTheCluster));
        }
        const ToolOutcome first = waitForChild(runs[0]), second = waitForChild(runs[1]);
        ASSERT_EQ(first.status + second.status, 1) << round << first.err << second.err;
        const ToolOutcome& won = first.status == 0 ? first : second;
        const ToolOutcome& lost = first.status == 0 ? second : first;
        EXPECT_TRUE(std::regex_search(lost.err, refusal)) << round << lost.err;
        const std::vector<std::string> ids = {jobId(won.out, "job array"), jobId(won.out, "final job")};
        EXPECT_EQ(readText(folder + "/" + stateOfB + "/jobs"), ids[0] + " " + ids[1] + "\n") << round;
        for (const char* file : {"settings", "task.sh", "commit.sh", "part", "done"})
            EXPECT_TRUE(fileExists(folder + "/" + stateOfB + "/" + file)) << round << file;
        EXPECT_EQ(runInSlurmCluster(folder, {"scancel", ids[0], ids[1]}).status, 0);
        waitForJobs(folder, ids);
    }
}

// The final job's check of the done markers, run by hand while no range is done: it refuses,
// and the earlier pair and the state stay. Then an input changed after the submission
// stops a resume, which names it, before anything is submitted.
TEST(MozaroSlurm, TheFinalJobWantsEveryRangeAndAResumeTheSameInputs)
{
    NEED_SLURM_CLUSTER();
    std::mt19937 rng(19);
    const MovieGrid grid = randomGrid(rng, 2, 1, 8, 6, 8, 1);
    const std::string folder = makeScratchFolder();
    const std::vector<std::string> args = writeGrid(folder, grid);
    mergeOnOneMachine(folder, args);
    const std::vector<std::string> ids = heldJob(folder, args);
    const std::map<std::string, Bytes> before = folderContents(folder + "/" + stateOfB);
    ToolOutcome commit = runTool(folder, {"sh", stateOfB + "/commit.sh"});
    EXPECT_EQ(commit.status, 1);
    EXPECT_EQ(commit.out, "mozaro-slurm: ranges 0 1 2 3 of 4 are not in the part: movie B stays as it was\n");
    EXPECT_EQ(pairIn(folder), earlierPair);
    EXPECT_EQ(folderContents(folder + "/" + stateOfB), before);
    ASSERT_EQ(runInSlurmCluster(folder, {"scancel", ids[0], ids[1]}).status, 0);
    waitForJobs(folder, ids);

    // Same bytes and size, a new file: only what identifies it changed.
    writeBytes(folder + "/f1.new", grid.panels[1]);
    ASSERT_EQ(rename((folder + "/f1.new").c_str(), (folder + "/f1").c_str()), 0);
    const std::vector<std::string> names = listFolder(folder);
    ToolOutcome resumed = inCluster(folder, {"--resume", "B"});
    EXPECT_EQ(resumed.status, 1) << resumed.out;
    EXPECT_EQ(resumed.err, "mozaro-slurm: input movie f1 is not the file it was when the job was submitted (its size, "
                           "time of change or identity differ): resuming would mix frames of two movies; start the "
                           "job anew (mozaro-slurm with its arguments)\n");
    EXPECT_EQ(listFolder(folder), names);
    EXPECT_EQ(pairIn(folder), earlierPair);
}

// A state folder that is not all the user's own, or settings that are not what mozaro-slurm
// writes, are refused before anything in it is read or run: a planted one holds code.
struct PlantedState {
    const char* what;
    const char* shell;   // run in the movie's folder once the state is made there, as $s
    std::string said;    // the line on standard error after the folder's path
};
// The state is made by `planter` (another user, given its uid), in a folder with the sticky
// bit that everyone may write, as /tmp is.
void refusePlantedStates(const std::vector<PlantedState>& cases, unsigned planter = 0)
{
    for (const PlantedState& c : cases) {
        const std::string folder = makeScratchFolder();
        const std::string parent = folder.substr(0, folder.rfind('/'));
        ASSERT_EQ(chmod(parent.c_str(), 0711), 0);
        ASSERT_EQ(chmod(folder.c_str(), 01777), 0);
        const std::string plant = "s=" + stateOfB + " && mkdir $s $s/done && printf '%s\\n' 'touch ../pwned' 'name=B' "
                                  "'directory=$(touch ../pwned)' 'tasks=1 frames=1 bytes=0' 'files=f0' >$s/settings && "
                                  "for f in task.sh commit.sh; do printf '#!/bin/sh\\ntouch ../pwned\\n' >$s/$f; done && "
                                  "echo B >$s/movie && : >$s/part && " + c.shell;
        ChildLimits as;
        as.userId = planter;
        ASSERT_EQ(waitForChild(startChild(folder, {"sh", "-c", plant}, "/dev/null", parent + "/plant.out",
                                          parent + "/plant.err", as)).status, 0)
            << c.what << readText(parent + "/plant.err");
        const std::map<std::string, Bytes> before = folderContents(folder);
        ToolOutcome resumed = runTool(folder, {slurmScript, "--resume", "B"});
        EXPECT_EQ(resumed.status, 1) << c.what;
        EXPECT_EQ(resumed.err, "mozaro-slurm: " + folder + "/" + c.said + "\n") << c.what;
        EXPECT_EQ(folderContents(folder), before) << c.what;
    }
}
const std::string notOwn = ": a job's state is read only where every file in it is yours and no one else may write "
                           "it; nothing in it was read or run";
std::string ownerName(uid_t user)
{
    const passwd* entry = getpwuid(user);
    return entry != nullptr ? entry->pw_name : std::to_string(user);
}

TEST(MozaroSlurm, AResumeReadsOnlyAStateThatIsAllTheUsersOwn)
{
    const std::string me = " (owner " + ownerName(geteuid()) + ")";
    refusePlantedStates({
        {"settings others may write", "chmod 0664 $s/settings", stateOfB + "/settings" + me + " may be written by others" + notOwn},
        {"a state folder others may write", "chmod 0777 $s", stateOfB + me + " may be written by others" + notOwn},
        {"a script that is a link", "rm $s/task.sh && ln -s commit.sh $s/task.sh", stateOfB + "/task.sh" + me + " is a symbolic link" + notOwn},
        {"a FIFO as a done marker", "mkfifo $s/done/0", stateOfB + "/done/0" + me + " is neither a file nor a folder" + notOwn},
        {"a state folder that is a link", "mv $s real && ln -s real $s", stateOfB + me + " is a symbolic link" + notOwn},
        {"settings with code in them", ":", stateOfB + "/settings holds what mozaro-slurm does not write (line 1): start "
                                             "the job anew (mozaro-slurm with its arguments)"},
    });
}

TEST(OtherUsers, MozaroSlurmRefusesAStateOfAnotherUser)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root, to give a state folder to another user";
    refusePlantedStates({{"another user's state", ":", stateOfB + " (owner " + ownerName(65534) + ") is not yours" + notOwn}},
                        65534);
    refusePlantedStates({
        {"another user's settings", "chown 65534 $s/settings", stateOfB + "/settings (owner " + ownerName(65534) + ") is not yours" + notOwn},
    });
}

// ---- Panel videos and image sequences, merged by mozaro-video ----

#ifndef MOZARO_VIDEO
#define MOZARO_VIDEO ""
#endif
#define NEED_MOZARO_VIDEO()                                                                                           \
    if (std::string(MOZARO_VIDEO).empty() ||                                                                          \
        runTool(makeScratchFolder(), {"sh", "-c", "command -v ffmpeg && command -v ffprobe"}).status != 0)             \
    GTEST_SKIP() << "mozaro-video was not built, or FFmpeg's ffmpeg and ffprobe, which make and check videos, are missing"

std::string shell(const std::string& folder, const std::string& command)
{
    ToolOutcome run = runTool(folder, {"sh", "-c", command});
    EXPECT_EQ(run.status, 0) << command << run.err;
    return run.out;
}
// Panels p0.mp4 and p1.mp4 of 30 frames, a keyframe every 10 and B-frames, and the same as
// PNG sequences s0/ and s1/.
void writeVideoPanels(const std::string& folder)
{
    for (int k = 0; k < 2; k++) {
        const std::string n = std::to_string(k);
        shell(folder, "ffmpeg -v error -nostdin -f lavfi -i testsrc2=size=96x48:rate=25,hue=h=" + std::to_string(60 * k) +
                          " -frames:v 30 -c:v libx264 -pix_fmt yuv420p -g 10 -keyint_min 10 -sc_threshold 0 -bf 2 p" +
                          n + ".mp4 && mkdir s" + n + " && ffmpeg -v error -nostdin -i p" + n + ".mp4 s" + n +
                          "/%04d.png");
    }
}
std::string decoded(const std::string& folder, const std::string& video)
{
    return shell(folder, "ffmpeg -v error -nostdin -i " + video + " -f rawvideo -pix_fmt yuv420p -");
}
std::string times(const std::string& folder, const std::string& video)
{
    return shell(folder, "ffprobe -v error -show_entries frame=pts_time -of csv=p=0 " + video + " | grep -o '^[0-9][0-9.]*'");
}
// The nodes the tasks of an array ran on, from their logs.
std::set<std::string> nodesOf(const std::string& folder, const std::string& array)
{
    std::set<std::string> nodes;
    for (const std::string& log : namesFrom(folder, "slurm-" + array + "_")) {
        std::smatch node;
        const std::string text = readText(folder + "/" + log);
        if (std::regex_search(text, node, std::regex(" on node ([a-z0-9]+)\n")))
            nodes.insert(node[1].str());
    }
    return nodes;
}

// Over 3 tasks on the two nodes: --raw is one machine's movie and descriptor byte for byte;
// FFV1 decodes to one machine's frames; H.264 holds every frame at one machine's times, within
// 35 dB of one machine's video.
TEST(MozaroSlurm, VideoJobsMakeOneMachinesResult)
{
    NEED_SLURM_CLUSTER();
    NEED_MOZARO_VIDEO();
    const std::string folder = makeScratchFolder();
    writeVideoPanels(folder);
    enum Same { bytes, frames, close };
    const struct {
        std::vector<std::string> panels, output;
        const char* nBlend;
        Same same;
    } cases[] = {
        {{"p0.mp4", "p1.mp4"}, {"--raw", "B"}, "2", bytes},
        {{"s0/%04d.png", "s1/%04d.png"}, {"--raw", "B"}, "3", bytes},
        {{"p0.mp4", "p1.mp4"}, {"--codec", "ffv1", "-o", "wall.mkv"}, "2", frames},
        {{"s0/%04d.png", "s1/%04d.png"}, {"--codec", "ffv1", "-o", "wall.mkv"}, "1", frames},
        {{"p0.mp4", "p1.mp4"}, {"-o", "wall.mp4"}, "1", close},
    };
    for (const auto& c : cases) {
        const std::string result = c.output.back(), what = c.panels[0] + " " + result;
        const std::vector<std::string> args = joined(joined({"--quiet"}, c.output), joined({"2", "1", c.nBlend}, c.panels));
        ASSERT_EQ(runTool(folder, joined({MOZARO_VIDEO}, args)).status, 0) << what;
        const std::string one = c.same == bytes ? pairIn(folder) : decoded(folder, result);
        const std::string oneTimes = c.same == bytes ? "" : times(folder, result);
        shell(folder, "mv " + result + " one-" + result + " && rm -f B.mg");
        ToolOutcome job = inCluster(folder, joined({"--video", "--tasks", "3", "--wait", "--"}, args));
        ASSERT_EQ(job.status, 0) << what << job.out << job.err;
        EXPECT_NE(job.out.find(": tasks 0-2 of 3, 10 frames each, logs slurm-"), std::string::npos) << job.out;
        EXPECT_EQ(nodesOf(folder, jobId(job.out, "job array")), (std::set<std::string>{"mozaro1", "mozaro2"})) << what;
        EXPECT_TRUE(namesFrom(folder, ".mozaro-slurm-").empty()) << what;
        if (c.same == bytes) {
            EXPECT_EQ(pairIn(folder), one) << what;
        } else if (c.same == frames) {
            EXPECT_TRUE(decoded(folder, result) == one) << what;
        } else {
            EXPECT_EQ(times(folder, result), oneTimes) << what;
            EXPECT_EQ(decoded(folder, result).size(), one.size()) << what;
            const std::string psnr = shell(folder, "ffmpeg -nostdin -i " + result + " -i one-" + result +
                                                       " -lavfi psnr -f null - 2>&1 | grep -o 'average:[0-9.inf]*'");
            ASSERT_EQ(psnr.rfind("average:", 0), 0u) << psnr;
            EXPECT_TRUE(psnr.substr(8, 3) == "inf" || std::stod(psnr.substr(8)) >= 35) << psnr;
        }
        shell(folder, "rm -f " + result + " one-" + result + " B.mg slurm-*.out");
    }
}

// A task that fails leaves the earlier video as it was and no segment joined; a resume runs
// only the ranges without a done marker, then joins.
TEST(MozaroSlurm, AFailedVideoTaskLeavesTheEarlierVideoAndAResumeCompletesIt)
{
    NEED_SLURM_CLUSTER();
    NEED_MOZARO_VIDEO();
    const std::string folder = makeScratchFolder();
    writeVideoPanels(folder);
    const std::vector<std::string> args = {"--quiet", "--codec", "ffv1", "-o", "wall.mkv", "2", "1", "1", "p0.mp4", "p1.mp4"};
    ASSERT_EQ(runTool(folder, joined({MOZARO_VIDEO}, args)).status, 0);
    const std::string one = decoded(folder, "wall.mkv");
    writeText(folder + "/wall.mkv", "earlier video");
    ToolOutcome job = inCluster(folder, joined({"--video", "--tasks", "3", "--hold", "--"}, args));
    ASSERT_EQ(job.status, 0) << job.out << job.err;
    const std::vector<std::string> ids = {jobId(job.out, "job array"), jobId(job.out, "final job")};
    const std::vector<std::string> state = namesFrom(folder, ".mozaro-slurm-");
    ASSERT_EQ(state.size(), 1u);
    release(folder, {ids[1], ids[0] + "_0"});
    for (int tenths = 0; tenths < 600 && !fileExists(folder + "/" + state[0] + "/done/0"); tenths++)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_EQ(rename((folder + "/p1.mp4").c_str(), (folder + "/p1.away").c_str()), 0);
    release(folder, {ids[0] + "_1", ids[0] + "_2"});
    waitForJobs(folder, ids);
    EXPECT_EQ(readText(folder + "/wall.mkv"), "earlier video");
    EXPECT_TRUE(fileExists(folder + "/" + state[0] + "/segment-0.mkv"));
    EXPECT_FALSE(fileExists(folder + "/" + state[0] + "/segment-1.mkv"));

    ASSERT_EQ(rename((folder + "/p1.away").c_str(), (folder + "/p1.mp4").c_str()), 0);
    ToolOutcome resumed = inCluster(folder, {"--wait", "--resume", "wall.mkv"});
    ASSERT_EQ(resumed.status, 0) << resumed.out << resumed.err;
    EXPECT_EQ(resumed.out.substr(0, resumed.out.find('\n') + 1),
              "Resuming the job of movie wall.mkv: ranges 1-2 of 3 did not finish\n");
    EXPECT_TRUE(decoded(folder, "wall.mkv") == one);
    EXPECT_TRUE(namesFrom(folder, ".mozaro-slurm-").empty());
}

}  // namespace
