// Runs the driver in-process, as the entry function would, on either
// platform.
#pragma once

#include "driver.hpp"

#include <cstdio>
#include <fcntl.h>
#include <filesystem>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace isi386::test {

// Runs the driver `times` times on `path`, its lines sent to the null
// device; the last status.
inline int run_driver(const std::filesystem::path& path, int times)
{
#ifdef _WIN32
    const char* const null_device = "NUL";
#else
    const char* const null_device = "/dev/null";
#endif
    static_cast<void>(std::fflush(stdout));
    static_cast<void>(std::fflush(stderr));
    const int saved_out = ::dup(1);
    const int saved_err = ::dup(2);
    const int null = ::open(null_device, O_WRONLY);
    ::dup2(null, 1);
    ::dup2(null, 2);
    const path_char* argv[] = {path.c_str(), path.c_str(), nullptr};
    int status = -1;
    for (int i = 0; i < times; ++i) {
        status = run(argv);
    }
    ::dup2(saved_out, 1);
    ::dup2(saved_err, 2);
    ::close(saved_out);
    ::close(saved_err);
    ::close(null);
    return status;
}

} // namespace isi386::test
