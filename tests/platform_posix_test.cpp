// The driver and the platform layer in-process: nothing acquired outlives a
// run.
#include "driver.hpp"
#include "e2e_fixture.hpp"
#include "fault_fs.hpp"
#include "run_driver.hpp"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <fstream>
#include <iostream>

namespace {

using isi386::test::arg;
using isi386::test::write_file;

std::size_t count_entries(const char* dir)
{
    std::size_t n = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir)) {
        ++n;
    }
    return n;
}

// Lines of /proc/self/maps that map a file under `dir`.
std::size_t mappings_under(const std::filesystem::path& dir)
{
    std::ifstream in("/proc/self/maps");
    std::size_t n = 0;
    for (std::string line; std::getline(in, line);) {
        n += line.find(dir.string()) != std::string::npos ? 1U : 0U;
    }
    return n;
}

// The process's current address-space size, from /proc/self/status.
rlim_t address_space_in_use()
{
    std::ifstream in("/proc/self/status");
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("VmSize:", 0) == 0) {
            return static_cast<rlim_t>(std::stoull(line.substr(7))) * 1024;
        }
    }
    return 0;
}

class releases : public isi386::test::scratch_dir {
  protected:
    int run_driver(const std::string& path, int times) const
    {
        return isi386::test::run_driver(dir / path, times);
    }
};

TEST_F(releases, nothing_outlives_a_run)
{
    write_file(dir / "tiny", isi386::test::bytes(10));
    std::vector<std::pair<std::string, int>> cases = {
        {"x86.exe", 0},     {"x64.exe", 1}, {"tiny", 1},      {"no such file", 3},
        {"a directory", 3}, {"empty", 4},   {"/dev/null", 4},
    };
    // The two faults under the view, where faultfs can make them.
    const isi386::test::mounted_faults faults(dir / "faults");
    if (faults.why_not.empty()) {
        cases.insert(cases.end(), {{"faults/unreadable.exe", 5},
                                   {"faults/shrinking.exe", 1},
                                   {"faults/cut_in_page.exe", 1},
                                   {"faults/direct.exe", 0}});
    } else {
        std::cout << "[          ] fault paths not checked: " << faults.why_not << "\n";
        EXPECT_FALSE(isi386::test::strict()) << "ISI386_STRICT=1, yet faultfs is missing";
    }
    for (const auto& [path, status] : cases) {
        ASSERT_EQ(run_driver(path, 1), status) << path; // warm up stdio and the loader
        const std::size_t fds = count_entries("/proc/self/fd");
        EXPECT_EQ(run_driver(path, 200), status) << path;
        EXPECT_EQ(count_entries("/proc/self/fd"), fds) << path;
        EXPECT_EQ(mappings_under(dir), 0U) << path;
    }
}

TEST_F(releases, view_failure_releases_file_and_mapping)
{
    if (isi386::test::sanitized) {
        GTEST_SKIP() << "address-space limits do not work under sanitizers";
    }
    rlimit saved{};
    ::getrlimit(RLIMIT_AS, &saved);
    ASSERT_EQ(run_driver("3 GiB", 1), 0);
    const std::size_t fds = count_entries("/proc/self/fd");
    // Leave room for the test itself but not for a 3 GiB view.
    rlimit tight = saved;
    tight.rlim_cur = address_space_in_use() + (rlim_t{256} << 20);
    ASSERT_EQ(::setrlimit(RLIMIT_AS, &tight), 0);
    const int status = run_driver("3 GiB", 50);
    ::setrlimit(RLIMIT_AS, &saved);
    EXPECT_EQ(status, 5);
    EXPECT_EQ(count_entries("/proc/self/fd"), fds);
    EXPECT_EQ(mappings_under(dir), 0U);
}

TEST(driver, vector_without_program_name_has_no_argument)
{
    // argv[0] null ends the vector; what follows it is not an argument.
    const char* argv[] = {nullptr, "/dev/null", nullptr};
    std::fflush(stderr);
    testing::internal::CaptureStderr();
    EXPECT_EQ(isi386::run(argv), 2);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "No file given\n");
}

} // namespace
