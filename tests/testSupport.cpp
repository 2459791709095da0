#include "testSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <utility>

#include <dirent.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

// ---- Scratch folders ----

// The mozaro-test-XXXXXX folders made since the current test began.
static std::vector<std::string> scratchFolders;

// Removes a folder and everything in it without following symbolic links; folders a test
// made read-only are made writable first.
static void removeTree(const std::string& path)
{
    struct stat st;
    if (lstat(path.c_str(), &st) != 0)
        return;
    if (!S_ISDIR(st.st_mode)) {
        unlink(path.c_str());
        return;
    }
    chmod(path.c_str(), 0700);
    if (DIR* dir = opendir(path.c_str())) {
        std::vector<std::string> names;
        while (struct dirent* entry = readdir(dir))
            if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
                names.push_back(entry->d_name);
        closedir(dir);
        for (const std::string& name : names)
            removeTree(path + "/" + name);
    }
    rmdir(path.c_str());
}

static bool keepScratch()
{
    const char* keep = std::getenv("MOZARO_KEEP_SCRATCH");
    return keep != nullptr && *keep != '\0' && std::strcmp(keep, "0") != 0;
}

// After each test: what it made goes, unless it failed.
struct ScratchCleaner : ::testing::EmptyTestEventListener {
    void clean(bool failed)
    {
        if ((failed || keepScratch()) && !scratchFolders.empty()) {
            std::printf("Scratch folders kept for a look:\n");
            for (const std::string& folder : scratchFolders)
                std::printf("  %s\n", folder.c_str());
        } else {
            for (const std::string& folder : scratchFolders)
                removeTree(folder);
        }
        std::fflush(stdout);
        scratchFolders.clear();
    }
    void OnTestEnd(const ::testing::TestInfo& test) override { clean(test.result()->Failed()); }
    // Folders made outside any test (by a suite's set-up, say).
    void OnTestProgramEnd(const ::testing::UnitTest& program) override { clean(program.Failed()); }
};

static const bool scratchCleanerInstalled = [] {
    ::testing::UnitTest::GetInstance()->listeners().Append(new ScratchCleaner);
    return true;
}();

std::string makeScratchFolder()
{
    (void)scratchCleanerInstalled;
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/mozaro-test-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (mkdtemp(name.data()) == nullptr)
        throw std::runtime_error("cannot make a scratch folder");
    scratchFolders.push_back(name.data());
    std::string folder = std::string(name.data()) + "/work";
    if (mkdir(folder.c_str(), 0777) != 0)
        throw std::runtime_error("cannot make " + folder);
    return folder;
}

void removeScratchFolder(const std::string& folder)
{
    const std::string parent = folder.substr(0, folder.rfind('/'));
    const auto made = std::find(scratchFolders.begin(), scratchFolders.end(), parent);
    if (made == scratchFolders.end() || keepScratch())
        return;
    removeTree(parent);
    scratchFolders.erase(made);
}

// ---- Files ----

void writeBytes(const std::string& path, const Bytes& bytes)
{
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    if (!file)
        throw std::runtime_error("cannot write " + path);
}

void writeText(const std::string& path, const std::string& text)
{
    writeBytes(path, Bytes(text.begin(), text.end()));
}

Bytes readBytes(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    if (!file)
        throw std::runtime_error("cannot read " + path);
    return Bytes(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

std::string readText(const std::string& path)
{
    Bytes bytes = readBytes(path);
    return std::string(bytes.begin(), bytes.end());
}

bool fileExists(const std::string& path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

std::vector<std::string> listFolder(const std::string& folder)
{
    std::vector<std::string> names;
    DIR* dir = opendir(folder.c_str());
    if (dir == nullptr)
        throw std::runtime_error("cannot list " + folder);
    while (struct dirent* entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..")
            names.push_back(name);
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

std::map<std::string, Bytes> folderContents(const std::string& folder)
{
    std::map<std::string, Bytes> contents;
    for (const std::string& name : listFolder(folder)) {
        struct stat st;
        const std::string path = folder + "/" + name;
        if (lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode))
            contents[name] = readBytes(path);
        else
            contents[name] = Bytes{'<', 'n', 'o', 't', ' ', 'a', ' ', 'f', 'i', 'l', 'e', '>'};
    }
    return contents;
}

// ---- Child processes ----

static void setLimit(int resource, unsigned long long soft, unsigned long long hard)
{
    struct rlimit limit;
    if (getrlimit(resource, &limit) != 0)
        _exit(125);
    if (soft != 0)
        limit.rlim_cur = rlim_t(soft);
    if (hard != 0)
        limit.rlim_max = rlim_t(hard);
    if (setrlimit(resource, &limit) != 0)
        _exit(125);
}

StartedRun startChild(const std::string& folder, const std::vector<std::string>& command, const std::string& inputPath,
                      const std::string& outputPath, const std::string& errorPath, const ChildLimits& limits)
{
    std::vector<std::string> words = command, variables;
    std::vector<char*> argv, envp;
    for (std::string& word : words)
        argv.push_back(&word[0]);
    argv.push_back(nullptr);
    if (limits.environment != nullptr)
        variables = *limits.environment;
    for (std::string& variable : variables)
        envp.push_back(&variable[0]);
    envp.push_back(nullptr);

    pid_t child = fork();
    if (child < 0)
        throw std::runtime_error("fork failed");
    if (child == 0) {
        int in = open(inputPath.c_str(), O_RDONLY);
        int out = open(outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
        int err = open(errorPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
        if (in < 0 || out < 0 || err < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0 ||
            chdir(folder.c_str()) != 0)
            _exit(126);
        // Nothing the test program holds open (nor what ctest gave it) goes with the child:
        // it would count against the child's limit of open files.
        const long openMax = sysconf(_SC_OPEN_MAX);
        for (int fd = 3; fd < (openMax > 0 && openMax < 65536 ? openMax : 65536); fd++)
            close(fd);
        if (limits.closeOutput)
            close(1);
        if (limits.addressSpaceBytes != 0)
            setLimit(RLIMIT_AS, limits.addressSpaceBytes, limits.addressSpaceBytes);
        if (limits.openFilesSoft != 0 || limits.openFilesHard != 0)
            setLimit(RLIMIT_NOFILE, limits.openFilesSoft, limits.openFilesHard);
        if (limits.fileSizeBytes != 0)
            setLimit(RLIMIT_FSIZE, limits.fileSizeBytes, limits.fileSizeBytes);
        if (limits.fileSizeSignalIgnored)
            signal(SIGXFSZ, SIG_IGN);
        if (limits.userId != 0 && (setgroups(0, nullptr) != 0 || setgid(limits.userId) != 0 ||
                                   setuid(limits.userId) != 0))
            _exit(125);
        if (limits.environment != nullptr)
            execvpe(argv[0], argv.data(), envp.data());
        else
            execvp(argv[0], argv.data());
        _exit(127);
    }
    return StartedRun{child, outputPath, errorPath};
}

RunOutcome waitForChild(const StartedRun& run, int seconds)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    int status = 0;
    for (;;) {
        pid_t done = waitpid(run.pid, &status, WNOHANG);
        if (done == run.pid)
            break;
        if (done < 0 && errno != EINTR)
            throw std::runtime_error("waitpid failed");
        if (std::chrono::steady_clock::now() > deadline) {
            kill(run.pid, SIGKILL);
            waitpid(run.pid, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    RunOutcome outcome;
    outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    outcome.out = run.outputPath.rfind("/dev/", 0) != 0 && fileExists(run.outputPath) ? readText(run.outputPath) : "";
    outcome.err = readText(run.errorPath);
    return outcome;
}

std::vector<std::string> mozaroCommand(const std::vector<std::string>& args)
{
    std::vector<std::string> command;
    if (const char* launcher = std::getenv("MOZARO_LAUNCHER")) {
        std::istringstream words(launcher);
        std::string word;
        while (words >> word)
            command.push_back(word);
    }
    const char* binary = std::getenv("MOZARO_BINARY");
    command.push_back(binary != nullptr && *binary != '\0' ? binary : MOZARO_BINARY);
    command.insert(command.end(), args.begin(), args.end());
    return command;
}

StartedRun startMozaro(const std::string& folder, const std::vector<std::string>& args, const std::string& inputPath,
                       const std::string& outputPath, const ChildLimits& limits)
{
    std::vector<std::string> command = mozaroCommand(args);
    // Another user may not reach the build (a clone in a private home folder): that user's
    // run starts a copy beside the case's folder, whose parent the case opens to that user.
    if (limits.userId != 0) {
        std::string& binary = command[command.size() - args.size() - 1];
        const std::string copy = folder.substr(0, folder.rfind('/')) + "/Mozaro-for-another-user";
        if (!fileExists(copy)) {
            writeBytes(copy, readBytes(binary));
            if (chmod(copy.c_str(), 0755) != 0)
                throw std::runtime_error("cannot make " + copy + " runnable");
        }
        binary = copy;
    }
    return startChild(folder, command, inputPath, outputPath, outputPath + ".err", limits);
}

RunOutcome waitForMozaro(const StartedRun& run)
{
    return waitForChild(run);
}

RunOutcome runMozaroWithFiles(const std::string& folder, const std::vector<std::string>& args,
                              const std::string& inputPath, const std::string& outputPath,
                              const ChildLimits& limits)
{
    RunOutcome outcome = waitForChild(startMozaro(folder, args, inputPath, outputPath, limits), limits.seconds);
    // Under an emulator (Wine) the start itself fails now and then: not a word from the tool,
    // which says something on every path. Such a start, and only it, is made once more.
    if (std::getenv("MOZARO_LAUNCHER") != nullptr && outcome.status != 0 && outcome.out.empty() &&
        outcome.err.empty() && outputPath.rfind("/dev/", 0) != 0)
        outcome = waitForChild(startMozaro(folder, args, inputPath, outputPath, limits), limits.seconds);
    return outcome;
}

RunOutcome runMozaro(const std::string& folder, const std::vector<std::string>& args, const std::string& input,
                     const ChildLimits& limits)
{
    std::string parent = folder.substr(0, folder.rfind('/'));
    writeText(parent + "/stdin", input);
    return runMozaroWithFiles(folder, args, parent + "/stdin", parent + "/stdout", limits);
}

StartedRun startTool(const std::string& folder, std::vector<std::string> args, unsigned long fileLimit)
{
    const std::string parent = folder.substr(0, folder.rfind('/'));
    ChildLimits limits;
    limits.fileSizeBytes = fileLimit;
    limits.fileSizeSignalIgnored = fileLimit != 0;
    return startChild(folder, args, "/dev/null", parent + "/tool.out", parent + "/tool.err", limits);
}

ToolOutcome runTool(const std::string& folder, std::vector<std::string> args, unsigned long fileLimit)
{
    RunOutcome run = waitForChild(startTool(folder, std::move(args), fileLimit));
    return ToolOutcome{run.status, run.out, run.err};
}

// ---- FIFOs fed in pieces ----

static void waitUntil(const std::atomic<bool>& released)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (!released && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

static void feedPipe(PipeFeed* feed, Bytes bytes, std::size_t piece, std::size_t stallAt)
{
    // Gives up when the reader stops taking what it was given.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    for (std::size_t at = 0; at < bytes.size();) {
        if (at >= stallAt)
            waitUntil(feed->released);
        std::size_t n = std::min(piece, bytes.size() - at);
        if (at < stallAt)
            n = std::min(n, stallAt - at);
        if (write(feed->fd, bytes.data() + at, n) != ssize_t(n))
            break;
        at += n;
        int unread = 0;
        while (ioctl(feed->fd, FIONREAD, &unread) == 0 && unread > 0 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (stallAt != SIZE_MAX)
        waitUntil(feed->released);
    close(feed->fd);
}

void startPipeFeed(PipeFeed* feed, const std::string& path, const Bytes& bytes, std::size_t piece, std::size_t stallAt)
{
    if (piece == 0 || piece > 65536)
        throw std::invalid_argument("a piece must fit in a pipe");
    if (mkfifo(path.c_str(), 0666) != 0)
        throw std::runtime_error("cannot make the FIFO " + path);
    // The tool must not inherit the test's hold, or the FIFO would never end for it.
    feed->fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (feed->fd < 0)
        throw std::runtime_error("cannot open the FIFO " + path);
    feed->feeder = std::thread(feedPipe, feed, bytes, piece, stallAt);
}

void finishPipeFeed(PipeFeed* feed)
{
    feed->released = true;
    if (feed->feeder.joinable())
        feed->feeder.join();
}

PipeFeed::~PipeFeed()
{
    finishPipeFeed(this);
}

// ---- Grids and texts ----

Bytes randomBytes(std::size_t count, std::mt19937& rng)
{
    Bytes bytes(count);
    std::uniform_int_distribution<int> byte(0, 255);
    for (unsigned char& b : bytes)
        b = (unsigned char)byte(rng);
    return bytes;
}

MovieGrid randomGrid(std::mt19937& rng, int ntx, int nty, int nx, int ny, int nf, int nBlend)
{
    MovieGrid g{ntx, nty, nx, ny, nf, nBlend, {}};
    for (int k = 0; k < ntx * nty; k++)
        g.panels.push_back(randomBytes(std::size_t(3 * nx * ny * nf), rng));
    return g;
}

std::vector<std::string> gridArgs(const MovieGrid& g, const std::vector<std::string>& names)
{
    std::vector<std::string> args = {std::to_string(g.ntx), std::to_string(g.nty), std::to_string(g.nx),
                                     std::to_string(g.ny),  std::to_string(g.nf),  std::to_string(g.nBlend)};
    args.insert(args.end(), names.begin(), names.end());
    return args;
}

std::vector<std::string> panelNames(const MovieGrid& g, std::vector<std::string> names)
{
    for (int k = int(names.size()); k < g.ntx * g.nty; k++)
        names.push_back("f" + std::to_string(k));
    return names;
}

std::vector<std::string> writeGrid(const std::string& folder, const MovieGrid& g, std::vector<std::string> names)
{
    names = panelNames(g, names);
    for (std::size_t k = 0; k < g.panels.size(); k++)
        writeBytes(folder + "/" + names[k], g.panels[k]);
    return gridArgs(g, names);
}

const std::string usageLines =
    "usage: Mozaro ntx nty nx ny nf nBlend file00 [file01 ...]\n"
    "    ntx    = # of tiles in x-direction\n"
    "    nty    = # of tiles in y-direction\n"
    "    nx     = tile resolution in x-direction\n"
    "    ny     = tile resolution in y-direction\n"
    "    nf     = # of frames in movie\n"
    "    nBlend = blend factor\n"
    "    file?? = names of  raw movie files to be merged and blended\n";

std::string questionText(const std::string& name)
{
    return "Name of merged and blended movie will be: " + name +
           "\n"
           "Merge and blend now?\n"
           "  Answer: yes    --> Do it, now, with inputs as specified\n"
           "  Answer: no     --> Exit and start over\n"
           "  Answer: <name> --> Use <name> for new movie file\n";
}

std::string progressText(int nf)
{
    std::string text;
    char line[32];
    for (int k = 0; k < nf; k++) {
        std::snprintf(line, sizeof line, "Finished Frame: %4d\n", k);
        text += line;
    }
    return text;
}

std::string echoText(int ntx, int nty, int nx, int ny, int nf, int nBlend)
{
    char text[256];
    std::snprintf(text, sizeof text, "ntx  = %4d\nnty  = %4d\nnx   = %4d\nny   = %4d\nnf   = %4d\nnb   = %4d\n", ntx,
                  nty, nx, ny, nf, nBlend);
    return text;
}

std::string layoutText(const MovieGrid& g, std::vector<std::string> names)
{
    names = panelNames(g, names);
    std::string layout = "Layout of panels:\n";
    for (int i = g.nty - 1; i >= 0; i--) {
        for (int j = 0; j < g.ntx; j++)
            layout += "  " + names[std::size_t(i * g.ntx + j)];
        layout += "\n";
    }
    return echoText(g.ntx, g.nty, g.nx, g.ny, g.nf, g.nBlend) + layout + "Resolution of merged and blended movie: " +
           std::to_string(modelWidth(g)) + " " + std::to_string(modelHeight(g)) + "\n";
}

std::string runStart(const MovieGrid& g, const std::string& movie, std::vector<std::string> names)
{
    return layoutText(g, names) + questionText(movie);
}

std::string hashOfName(const std::string& name)
{
    std::uint64_t hash = 14695981039346656037ull;
    for (unsigned char c : name)
        hash = (hash ^ c) * 1099511628211ull;
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx", (unsigned long long)hash);
    return hex;
}
