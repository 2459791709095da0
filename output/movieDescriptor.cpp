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
    return osWriteTextFile(descriptorName.c_str(), line.c_str());
}
