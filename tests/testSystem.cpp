#include "testSystem.h"

bool runsHere(Systems systems)
{
    const bool windows = std::string(testSystem().name) == "Windows";
    return systems == bothSystems || (systems == windowsOnly) == windows;
}

std::string asPrinted(const std::string& text, const Reason& reason, const std::string& printed)
{
    std::string words = reason.wordings[0] != nullptr ? reason.wordings[0] : "";
    for (const char* wording : reason.wordings)
        if (wording != nullptr && printed.find(asPrinted(wording)) != std::string::npos)
            words = wording;
    std::string filled = text;
    const std::string marker = "<reason>";
    for (std::size_t at; (at = filled.find(marker)) != std::string::npos;)
        filled.replace(at, marker.size(), words);
    const std::string& lineEnd = testSystem().lineEnd;
    std::string out;
    for (char c : filled) {
        if (c == '\n')
            out += lineEnd;
        else
            out += c;
    }
    return out;
}

std::string descriptorOf(const std::string& folder, const std::string& movie, const MovieGrid& g)
{
    const TestSystem& system = testSystem();
    return "localhost  " + system.toolPath(folder) + system.separator + movie + " " + std::to_string(modelWidth(g)) + " " +
           std::to_string(modelHeight(g)) + " " + std::to_string(g.nf) + system.lineEnd;
}

void writeEarlierMovie(const std::string& folder, const std::string& movie)
{
    writeBytes(folder + "/" + movie, Bytes(36, 1));
    writeText(folder + "/" + movie + ".mg", "localhost  earlier/" + movie + " 4 2 3" + testSystem().lineEnd);
}
