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
#include <cstdio>

int main(int /*argc*/, char** argv, char** /*envp*/)
{
    // A reader that went away must not kill us before the status is
    // returned: a failed write is ignored like any other.
    static_cast<void>(std::signal(SIGPIPE, SIG_IGN));
    // One line is all that is ever written: an unbuffered stdout writes it
    // at once, without allocating a buffer first.
    static_cast<void>(std::setvbuf(stdout, nullptr, _IONBF, 0));
    return isi386::run(argv);
}

#endif
