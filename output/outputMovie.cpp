#include <string>

#include "output/output.h"

int openOutputMovie(const char* name, OutputMovie* movie)
{
    movie->name = name;
    movie->file = osNoFile;
    int error = osCreateForWriting(name, &movie->file);
    if (error != 0)
        return error;
    // Nothing to remove is the usual case; a descriptor that cannot be removed is replaced
    // at the end of a finished run or reported then.
    (void)osRemoveFile((std::string(name) + ".mg").c_str());
    return 0;
}

int writeMovieRows(OutputMovie* movie, const unsigned char* rows, std::int64_t bytes)
{
    return osWriteFull(movie->file, rows, std::size_t(bytes));
}

int closeOutputMovie(OutputMovie* movie)
{
    int error = osClose(movie->file);
    movie->file = osNoFile;
    return error;
}
