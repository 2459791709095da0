// The native tool, as the POSIX system runs it.
#include "testSystem.h"

static std::string samePath(const std::string& folder)
{
    return folder;
}

const TestSystem& testSystem()
{
    static const TestSystem posix = {"POSIX",
                                     "\n",
                                     samePath,
                                     '/',
                                     {{"No such file or directory", nullptr}},
                                     {{"Is a directory", nullptr}},
                                     {{"No such file or directory", nullptr}},
                                     {{"Is a directory", nullptr}},
                                     1000};
    return posix;
}
