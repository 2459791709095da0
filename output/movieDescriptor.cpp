#include <cerrno>
#include <cstdio>

#include "output/output.h"

const char* const descriptorHost = "localhost";

std::string descriptorLine(const std::string& directory, const char* name, const RunParameters& runParameters)
{
    std::string line = descriptorHost;
    line += "  ";
    if (!osIsAbsolutePath(name)) {
        line += directory;
        line += osPathSeparator;
    }
    line += name;
    char numbers[48];
    std::snprintf(numbers, sizeof numbers, " %d %d %d\n", runParameters.outWidth, runParameters.outHeight,
                  runParameters.nf);
    line += numbers;
    return line;
}

int writeMovieDescriptor(const char* name, const RunParameters& runParameters)
{
    std::string directory;
    int error = osCurrentDirectory(&directory);
    if (error != 0)
        return error;
    std::string line = descriptorLine(directory, name, runParameters);
    std::string descriptorName = std::string(name) + ".mg";

    // Text mode: the line end is stored the way the system writes text lines.
    std::FILE* file = std::fopen(descriptorName.c_str(), "w");
    if (file == nullptr)
        return errno != 0 ? errno : EIO;
    errno = 0;
    bool written = std::fputs(line.c_str(), file) >= 0;
    int writeError = errno;
    bool closed = std::fclose(file) == 0;
    if (written && closed)
        return 0;
    if (!written && writeError != 0)
        return writeError;
    return errno != 0 ? errno : EIO;
}
