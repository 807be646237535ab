// faultfs (built beside the tests) mounted for the life of the object: a
// file whose header page cannot be read, and one cut under the view once
// it is read (see faultfs.cpp).
#pragma once

#include "run_program.hpp"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

namespace isi386::test {

struct mounted_faults {
    explicit mounted_faults(const std::filesystem::path& at)
    {
        const auto server_path =
            std::filesystem::read_symlink("/proc/self/exe").parent_path() / "faultfs";
        if (!std::filesystem::exists("/dev/fuse")) {
            why_not = "no /dev/fuse on this machine";
            return;
        }
        if (!std::filesystem::exists(server_path)) {
            why_not = "faultfs was not built: libfuse3-dev is missing";
            return;
        }
        std::filesystem::create_directories(at);
        server = start_program({server_path.native(), at.native()}, at.parent_path());
        for (int i = 0; i < 500 && server > 0; ++i) {
            if (std::filesystem::exists(at / "shrinking.exe")) {
                return;
            }
            if (::waitpid(server, nullptr, WNOHANG) == server) {
                server = -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        why_not = "faultfs could not mount " + at.string() + ": it needs root and /dev/fuse";
    }

    ~mounted_faults()
    {
        // The server unmounts on SIGTERM.
        if (server > 0) {
            ::kill(server, SIGTERM);
            wait_program(server);
        }
    }

    mounted_faults(const mounted_faults&) = delete;
    mounted_faults& operator=(const mounted_faults&) = delete;

    pid_t server = -1;
    std::string why_not; // empty once mounted
};

// ISI386_STRICT=1: the machine has all that the tests need (the project's
// CI installs libfuse3 and has /dev/fuse), so a case may not skip for it.
inline bool strict()
{
    return std::getenv("ISI386_STRICT") != nullptr &&
           std::string(std::getenv("ISI386_STRICT")) == "1";
}

// A case without faultfs skips, and says why; when strict it fails.
#define ISI386_NEEDS_FAULTS(faults)                                                                \
    if (!(faults).why_not.empty()) {                                                               \
        if (isi386::test::strict()) {                                                              \
            FAIL() << "ISI386_STRICT=1, yet: " << (faults).why_not;                                \
        }                                                                                          \
        GTEST_SKIP() << (faults).why_not;                                                          \
    }

} // namespace isi386::test
