#include <cstdio>
#include <cstring>
#include <string>

#include "platform/directories.h"
#include "platform/process.h"
#include "run/run.h"

// A script that never answers yes or no (`yes | Mozaro ...`) is stopped after this many.
static const int mostAnswers = 100;

static bool isBlank(unsigned char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

enum AnswerRead { answerWord, answerEnd, answerFailed };

// Where the answers are read from, and how far.
struct Answers {
    osFile file;
    bool atLineStart;   // the next byte begins a line
    bool first;         // no word has been read yet
};

// One byte of the answers: answerWord, or answerEnd at their end, or answerFailed (with the
// reason in *error) when the read fails: a word cut short by a failed read would be taken
// for a name. The system's end-of-input byte at the start of a line (Ctrl-Z on Windows)
// ends them as well.
static AnswerRead nextByte(Answers* answers, unsigned char* c, int* error)
{
    std::size_t got = 0;
    *error = osReadFull(answers->file, c, 1, osAtPosition, &got);
    if (*error != 0)
        return answerFailed;
    if (got != 1 || (answers->atLineStart && *c == osEndOfInputByte))
        return answerEnd;
    answers->atLineStart = *c == '\n';
    return answerWord;
}

// The byte order mark an editor may put before UTF-8 text.
static const char byteOrderMark[] = "\xEF\xBB\xBF";

// Reads the next white-space delimited word of the answers, however long, one byte at a time:
// nothing after the word and the blank that ends it is taken from the input, which may go
// on with a panel's movie. Keeps the word's first capacity - 1 bytes in `word` and reports
// its whole length and whether it holds a NUL byte. A byte order mark before the first word
// is no part of it.
static AnswerRead readAnswer(Answers* answers, char* word, std::size_t capacity, std::size_t* length, bool* holdsNul,
                             int* error)
{
    for (;;) {
        unsigned char c;
        AnswerRead read;
        do {
            if ((read = nextByte(answers, &c, error)) != answerWord)
                return read;
        } while (isBlank(c));
        std::size_t n = 0;
        *holdsNul = false;
        do {
            if (n + 1 < capacity)
                word[n] = char(c);
            *holdsNul = *holdsNul || c == '\0';
            n++;
        } while ((read = nextByte(answers, &c, error)) == answerWord && !isBlank(c));
        if (read == answerFailed)
            return answerFailed;
        std::size_t kept = n + 1 < capacity ? n : capacity - 1;
        const std::size_t mark = sizeof byteOrderMark - 1;
        if (answers->first && kept >= mark && std::memcmp(word, byteOrderMark, mark) == 0) {
            std::memmove(word, word + mark, kept - mark);
            kept -= mark;
            n -= mark;
        }
        answers->first = false;
        word[kept] = '\0';
        *length = n;
        if (n > 0)
            return answerWord;
        if (read == answerEnd)
            return answerEnd;
    }
}

// The name of an output file that is the same file as one of the inputs, or null.
static const char* outputThatIsAnInput(const PanelGrid& grid, std::int32_t panels, const char* movieName,
                                       const char* descriptorName)
{
    osFileIdentity movie, descriptor;
    bool movieExists = osIdentifyFile(movieName, &movie);
    bool descriptorExists = osIdentifyFile(descriptorName, &descriptor);
    if (!movieExists && !descriptorExists)
        return nullptr;
    for (std::int32_t k = 0; k < panels; k++) {
        osFileIdentity input;
        if (!osIdentifyFile(grid.panelNames[k], &input))
            continue;
        if (movieExists && osSameFile(movie, input))
            return movieName;
        if (descriptorExists && osSameFile(descriptor, input))
            return descriptorName;
    }
    return nullptr;
}

static const char* const tooLong = "That name is longer than 252 bytes; please give a shorter one\n";

// Whether the movie would be standard output itself: the run's messages would go into it.
static bool isStandardOutput(const char* movieName)
{
    osFileIdentity output, movie;
    bool stream;
    return osIdentifyOpenFile(osStandardOutput(), &output, &stream) && osIdentifyFile(movieName, &movie) &&
           osSameFile(output, movie);
}

// Refuses a `movieName` that cannot be the output, saying why; false where it can be.
static bool refuseUnusableName(const PanelGrid& grid, std::int32_t panels, const char* movieName)
{
    if (*movieName == '\0') {
        say("That name is empty; please give another one\n");
        return true;
    }
    if (std::strlen(movieName) > std::size_t(maxMovieNameBytes)) {
        say("%s", tooLong);
        return true;
    }
    // The descriptor names the movie on one line.
    if (std::strpbrk(movieName, "\r\n") != nullptr) {
        say("That name holds a line end; please give another one\n");
        return true;
    }
    // Answers from a file or a pipe written in a code page of its own (cmd's echo).
    if (!osNameIsText(movieName)) {
        say("That name is not UTF-8 text; please give another one\n");
        return true;
    }
    char descriptorName[movieNameCapacity + 3];   // room for ".mg" whatever the name
    std::snprintf(descriptorName, sizeof descriptorName, "%s.mg", movieName);
    std::string device;
    for (const char* name : {static_cast<const char*>(movieName), static_cast<const char*>(descriptorName)}) {
        if (osDeviceName(name, &device)) {
            say("%s is the device %s, not a file; please give another name\n", name, device.c_str());
            return true;
        }
    }
    const char* clash = outputThatIsAnInput(grid, panels, movieName, descriptorName);
    if (clash != nullptr) {
        say("%s is one of the input movies; please give another name\n", clash);
        return true;
    }
    if (isStandardOutput(movieName)) {
        say("%s is standard output, where the run's messages go; please give another name\n", movieName);
        return true;
    }
    return false;
}

// The name the command line gave or accepted: shown, and refused with the dialogue's own
// line, then "Stopping", where the dialogue would ask again.
static StageResult takeNameFromCommandLine(const PanelGrid& grid, std::int32_t panels, const char* given,
                                           char movieName[movieNameCapacity])
{
    const std::string name = osStoredName(given);
    say("Name of merged and blended movie will be: %s\n", name.c_str());
    if (name.size() > std::size_t(maxMovieNameBytes)) {
        say("%s", tooLong);
    } else {
        std::strcpy(movieName, name.c_str());
        if (!refuseUnusableName(grid, panels, movieName))
            return stageGoOn;
    }
    noteStop("name");
    say("Stopping\n");
    return stageStopFailed;
}

void proposeMovieName(const char* firstName, char movieName[movieNameCapacity])
{
    const std::size_t folder = osDirectoryPartLength(firstName);
    std::snprintf(movieName, movieNameCapacity, "%.*sB_%s", int(folder), firstName, firstName + folder);
}

StageResult confirmMovieName(const PanelGrid& grid, std::int32_t panels, const CommandLine& commandLine,
                             osFile answerFile, char movieName[movieNameCapacity])
{
    Answers answers{answerFile, true, true};
    // Every name as the file system will store it, so that the movie, its descriptor and the
    // checks of both agree on the files they mean.
    proposeMovieName(grid.firstNamed, movieName);
    std::strcpy(movieName, osStoredName(movieName).c_str());
    // A check creates nothing: it asks nothing either.
    if (commandLine.outputName != nullptr || commandLine.acceptName || commandLine.check) {
        char proposed[movieNameCapacity];
        std::strcpy(proposed, movieName);
        return takeNameFromCommandLine(grid, panels, commandLine.outputName != nullptr ? commandLine.outputName : proposed,
                                       movieName);
    }
    for (int answered = 0;; answered++) {
        if (answered == mostAnswers) {
            noteStop("answer");
            say("No yes or no in %d answers; scripts can accept with -y or name the movie with -o NAME\n"
                "Stopping\n",
                mostAnswers);
            return stageStopFailed;
        }
        say("Name of merged and blended movie will be: %s\n", movieName);
        say("Merge and blend now?\n"
            "  Answer: yes    --> Do it, now, with inputs as specified\n"
            "  Answer: no     --> Exit and start over\n"
            "  Answer: <name> --> Use <name> for new movie file\n");

        char answer[maxPanelNameBytes + 1];
        std::size_t length;
        bool holdsNul;
        int error;
        const AnswerRead read = readAnswer(&answers, answer, sizeof answer, &length, &holdsNul, &error);
        if (read != answerWord) {
            noteStop("answer");
            if (osStopRequested() != 0)
                return stageStopFailed;
            if (read == answerEnd)
                say("No answer on standard input\nStopping\n");
            else
                say("Could not read the answer on standard input: %s\nStopping\n", osErrorText(error));
            return stageStopFailed;
        }
        if (length > std::size_t(maxMovieNameBytes)) {
            say("%s", tooLong);
            continue;
        }
        if (holdsNul) {
            say("That name holds a NUL byte; please give another one\n");
            continue;
        }
        if (std::strncmp(answer, "yes", 3) == 0) {
            if (!refuseUnusableName(grid, panels, movieName))
                return stageGoOn;
            continue;
        }
        if (std::strncmp(answer, "no", 2) == 0) {
            noteStop("declined");
            return stageStopDone;
        }
        std::strcpy(movieName, osStoredName(answer).c_str());
    }
}
