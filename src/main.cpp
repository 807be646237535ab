// Entry function: hands the argument vector to the driver and returns its
// status as the exit status.
#include "driver.hpp"

#ifdef _WIN32

// The runtime's wide start-up must hand over "*.exe" as written: a
// wildcard is part of a path here, never a pattern to expand.
extern "C" {
int _dowildcard = 0;
}

int wmain(int /*argc*/, wchar_t** argv, wchar_t** /*envp*/)
{
    return isi386::run(argv);
}

#else

#include <csignal>

int main(int /*argc*/, char** argv, char** /*envp*/)
{
    // A reader that went away must not kill us before the status is
    // returned: a failed write is ignored like any other.
    std::signal(SIGPIPE, SIG_IGN);
    return isi386::run(argv);
}

#endif
