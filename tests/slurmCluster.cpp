#include "slurmCluster.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
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

static ToolOutcome runWithEnvironment(const std::string& folder, std::vector<std::string> args,
                                      std::vector<std::string> environment, const std::string& outputPrefix,
                                      int seconds)
{
    const std::string outPath = outputPrefix + ".out", errPath = outputPrefix + ".err";
    std::vector<char*> argv, envp;
    for (std::string& word : args)
        argv.push_back(&word[0]);
    argv.push_back(nullptr);
    for (std::string& variable : environment)
        envp.push_back(&variable[0]);
    envp.push_back(nullptr);
    pid_t child = fork();
    if (child < 0)
        throw std::runtime_error("fork failed");
    if (child == 0) {
        int in = open("/dev/null", O_RDONLY);
        int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
        int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
        if (in < 0 || out < 0 || err < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0 ||
            chdir(folder.c_str()) != 0)
            _exit(126);
        execvpe(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    // A job that never ends (sbatch --wait on a job left pending) must fail its case, not hang.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    int status = 0;
    for (;;) {
        pid_t done = waitpid(child, &status, WNOHANG);
        if (done == child)
            break;
        if (done < 0 && errno != EINTR)
            throw std::runtime_error("waitpid failed");
        if (std::chrono::steady_clock::now() > deadline) {
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ToolOutcome outcome;
    outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    outcome.out = readText(outPath);
    outcome.err = readText(errPath);
    return outcome;
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
