#include <cstdio>

#include "output/output.h"

static osFile outputMovie = osNoFile;

int openOutputMovie(const char* name)
{
    int error = osCreateForWriting(name, &outputMovie);
    if (error != 0)
        return error;
    // Nothing to remove is the usual case; a descriptor that cannot be removed is replaced
    // at the end of a finished run or reported then.
    char descriptorName[movieNameCapacity + 3];
    std::snprintf(descriptorName, sizeof descriptorName, "%s.mg", name);
    (void)osRemoveFile(descriptorName);
    return 0;
}

int writeMovieFrame(const unsigned char* frame, std::int32_t bytes)
{
    return osWriteFull(outputMovie, frame, std::size_t(bytes));
}

int closeOutputMovie()
{
    int error = osClose(outputMovie);
    outputMovie = osNoFile;
    return error;
}
