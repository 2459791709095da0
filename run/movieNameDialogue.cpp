#include <cstdio>
#include <cstring>

#include "run/run.h"

enum AnswerRead { answerWord, answerEnd };

// Reads the next white-space delimited word of `answers`, however long. Keeps its first
// capacity - 1 bytes in `word` and reports its whole length.
static AnswerRead readAnswer(std::FILE* answers, char* word, std::size_t capacity, std::size_t* length)
{
    int c;
    do {
        c = std::getc(answers);
    } while (c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r');
    if (c == EOF)
        return answerEnd;
    std::size_t n = 0;
    while (c != EOF && c != ' ' && c != '\t' && c != '\n' && c != '\v' && c != '\f' && c != '\r') {
        if (n + 1 < capacity)
            word[n] = char(c);
        n++;
        c = std::getc(answers);
    }
    word[n + 1 < capacity ? n : capacity - 1] = '\0';
    *length = n;
    return answerWord;
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

StageResult confirmMovieName(const PanelGrid& grid, std::int32_t panels, std::FILE* answers,
                             char movieName[movieNameCapacity])
{
    std::snprintf(movieName, movieNameCapacity, "B_%s", grid.panelNames[0]);
    for (;;) {
        std::printf("Name of merged and blended movie will be: %s\n", movieName);
        std::fputs("Merge and blend now?\n"
                   "  Answer: yes    --> Do it, now, with inputs as specified\n"
                   "  Answer: no     --> Exit and start over\n"
                   "  Answer: <name> --> Use <name> for new movie file\n",
                   stdout);
        // A program driving the dialogue through a pipe must see the whole question.
        std::fflush(stdout);

        char answer[maxPanelNameBytes + 1];
        std::size_t length;
        if (readAnswer(answers, answer, sizeof answer, &length) == answerEnd) {
            std::fputs("No answer on standard input\nStopping\n", stdout);
            return stageStopFailed;
        }
        if (length > std::size_t(maxMovieNameBytes)) {
            std::printf("That name is longer than %d bytes; please give a shorter one\n", maxMovieNameBytes);
            continue;
        }
        if (std::strncmp(answer, "yes", 3) == 0) {
            if (std::strlen(movieName) > std::size_t(maxMovieNameBytes)) {
                std::printf("That name is longer than %d bytes; please give a shorter one\n", maxMovieNameBytes);
                continue;
            }
            char descriptorName[movieNameCapacity + 3];   // room for ".mg" whatever the name
            std::snprintf(descriptorName, sizeof descriptorName, "%s.mg", movieName);
            const char* clash = outputThatIsAnInput(grid, panels, movieName, descriptorName);
            if (clash != nullptr) {
                std::printf("%s is one of the input movies; please give another name\n", clash);
                continue;
            }
            return stageGoOn;
        }
        if (std::strncmp(answer, "no", 2) == 0)
            return stageStopDone;
        std::memcpy(movieName, answer, length + 1);
    }
}
