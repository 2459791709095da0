// Built only into sanitized programs. Mozaro's own failures exit with status 1, so a
// sanitizer report gets a status of its own that no test can take for an expected stop.
// Options given in ASAN_OPTIONS and UBSAN_OPTIONS still come after these and win.
extern "C" const char* __asan_default_options()
{
    return "exitcode=86:strict_string_checks=1:detect_stack_use_after_return=1:check_initialization_order=1:"
           "strict_init_order=1";
}

extern "C" const char* __ubsan_default_options()
{
    return "exitcode=86:print_stacktrace=1:halt_on_error=1";
}

// Leaks inside the encoders' own libraries (libx265 keeps allocations past its encoder's
// close) are theirs: only the program's own are reported.
extern "C" const char* __lsan_default_suppressions()
{
    return "leak:libx265.so\nleak:x265_malloc\n";
}
