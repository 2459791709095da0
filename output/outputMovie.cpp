#include "output/output.h"

static osFile outputMovie = osNoFile;

int openOutputMovie(const char* name)
{
    return osCreateForWriting(name, &outputMovie);
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
