#include "slurmCluster.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include <sys/stat.h>
#include <unistd.h>

extern char** environ;

static const std::string clusterScript = MOZARO_SOURCE_DIR "/tools/slurmCluster.sh";
// Exit status of the script where no cluster can start on this machine.
static const int cannotStartStatus = 77;

// Made before main, so that they outlive the stop at exit.
static SlurmCluster cluster;
static std::string clusterBase;  // holds the cluster's folder and the script's output

// This process's environment less what would send the clients to another cluster or change
// what sbatch submits (a test program run inside a Slurm job, a user's defaults).
static std::vector<std::string> environmentWithoutSlurm()
{
    static const char* const prefixes[] = {"SLURM_", "SBATCH_", "SALLOC_", "SRUN_",     "SQUEUE_", "SINFO_",
                                           "SCANCEL_", "SCONTROL_", "SACCT_", "MUNGE_"};
    std::vector<std::string> kept;
    for (char** entry = environ; *entry != nullptr; entry++) {
        bool slurm = false;
        for (const char* prefix : prefixes)
            slurm = slurm || std::strncmp(*entry, prefix, std::strlen(prefix)) == 0;
        if (!slurm)
            kept.push_back(*entry);
    }
    return kept;
}

// A job that never ends (sbatch --wait on a job left pending) must fail its case, not hang.
static ToolOutcome runWithEnvironment(const std::string& folder, const std::vector<std::string>& args,
                                      const std::vector<std::string>& environment, const std::string& outputPrefix,
                                      int seconds)
{
    ChildLimits start;
    start.environment = &environment;
    return waitForChild(startChild(folder, args, "/dev/null", outputPrefix + ".out", outputPrefix + ".err", start),
                        seconds);
}

ToolOutcome runInSlurmCluster(const std::string& folder, std::vector<std::string> args, int seconds)
{
    const std::string parent = folder.substr(0, folder.rfind('/'));
    return runWithEnvironment(folder, std::move(args), slurmCluster().environment, parent + "/slurm", seconds);
}

static void stopSlurmCluster()
{
    ToolOutcome stop = runWithEnvironment(clusterBase, {"bash", clusterScript, "stop", cluster.folder},
                                          environmentWithoutSlurm(), clusterBase + "/script", 120);
    if (stop.status != 0)
        std::fprintf(stderr, "The Slurm cluster in %s did not stop (status %d): %s", cluster.folder.c_str(),
                     stop.status, stop.err.c_str());
    std::remove((clusterBase + "/script.out").c_str());
    std::remove((clusterBase + "/script.err").c_str());
    rmdir(clusterBase.c_str());
}

const SlurmCluster& slurmCluster()
{
    static bool tried = false;
    if (tried)
        return cluster;
    tried = true;
    // In /tmp, whatever TMPDIR says: munged must reach its socket through folders that all may
    // search, and socket paths are short.
    char base[] = "/tmp/mozaro-slurm-XXXXXX";
    if (mkdtemp(base) == nullptr || chmod(base, 0755) != 0) {
        cluster.reason = std::string("cannot make a folder for the Slurm cluster: ") + std::strerror(errno);
        return cluster;
    }
    clusterBase = base;
    cluster.folder = clusterBase + "/cluster";
    std::atexit(stopSlurmCluster);
    const std::vector<std::string> environment = environmentWithoutSlurm();
    ToolOutcome start = runWithEnvironment(clusterBase, {"bash", clusterScript, "start", cluster.folder}, environment,
                                           clusterBase + "/script", 120);
    if (start.status != 0) {
        cluster.cannotStart = start.status == cannotStartStatus;
        cluster.reason = clusterScript + " start ended with status " + std::to_string(start.status) + ": " + start.err;
        return cluster;
    }
    cluster.environment = environment;
    std::istringstream lines(readText(cluster.folder + "/env"));
    for (std::string line; std::getline(lines, line);)
        if (!line.empty())
            cluster.environment.push_back(line);
    cluster.running = true;
    return cluster;
}
