// Mozaro.exe under Wine: text-mode standard output and descriptor (CR LF), the folder on drive
// Z:, and reasons from the system's message table, as Wine words them or as Windows does.
#include "testSystem.h"

#include <climits>
#include <cstdlib>
#include <stdexcept>

static std::string driveZPath(const std::string& folder)
{
    char resolved[PATH_MAX];
    if (realpath(folder.c_str(), resolved) == nullptr)
        throw std::runtime_error("cannot resolve " + folder);
    std::string path = std::string("Z:") + resolved;
    for (char& c : path)
        if (c == '/')
            c = '\\';
    return path;
}

const TestSystem& testSystem()
{
    static const TestSystem windows = {"Windows",
                                       "\r\n",
                                       driveZPath,
                                       '\\',
                                       {{"Path not found.", "The system cannot find the path specified."}},
                                       {{"Access denied.", "Access is denied."}},
                                       {{"File not found.", "The system cannot find the file specified."}},
                                       {{"Access denied.", "Access is denied."}},
                                       256};
    return windows;
}
