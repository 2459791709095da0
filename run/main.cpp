#include "platform/process.h"
#include "run/run.h"

#if defined(_WIN32)
// Windows passes the arguments as UTF-16: every name a user can type arrives whole, and goes
// on in UTF-8.
int wmain(int argc, wchar_t** argv)
{
    return runDriver(argc, osUtf8Arguments(argc, argv));
}
#else
int main(int argc, char** argv)
{
    return runDriver(argc, argv);
}
#endif
