#include <cstdio>

#include "output/output.h"
#include "run/run.h"

StageResult describeMovie(const char* descriptorName)
{
    MovieDescription description;
    const std::string problem = readMovieDescription(descriptorName, &description);
    if (!problem.empty()) {
        std::fprintf(stderr, "Mozaro: %s\n", problem.c_str());
        return stageStopFailed;
    }
    say("%s\n%d\n%d\n%d\n", description.path.c_str(), description.width, description.height, description.frames);
    return stageStopDone;
}
