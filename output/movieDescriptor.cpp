#include <cstdio>

#include "output/output.h"
#include "platform/directories.h"

const char* const descriptorHost = "localhost";

std::string descriptorLine(const std::string& directory, const char* name, const RunParameters& runParameters)
{
    std::string line = descriptorHost;
    line += "  ";
    line += osPathFrom(directory, name);
    char numbers[48];
    std::snprintf(numbers, sizeof numbers, " %d %d %d", runParameters.outWidth, runParameters.outHeight,
                  runParameters.nf);
    line += numbers;
    line += osLineEnd;
    return line;
}
