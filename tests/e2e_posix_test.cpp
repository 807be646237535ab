// End-to-end cases that only POSIX systems have: FIFOs, devices, file
// modes, signals and resource limits, and paths that are raw bytes.
#include "e2e_fixture.hpp"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <thread>
#include <tuple>

namespace {

using isi386::test::arg;
using isi386::test::output_to;
using isi386::test::pe_image;
using isi386::test::write_file;

using e2e_posix = isi386::test::scratch_dir;
using isi386::test::expect_run;

TEST_F(e2e_posix, special_files_are_refused_unopened)
{
    std::filesystem::create_symlink("fifo", dir / "link to fifo");
    const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string socket_path = (dir / "socket").string();
    socket_path.copy(address.sun_path, sizeof address.sun_path - 1);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    // A writer blocked on the FIFO goes on, and its data is lost, as soon
    // as anyone opens it for reading.
    const isi386::test::blocked_writer writer(dir / "fifo");
    ASSERT_TRUE(std::filesystem::is_fifo(writer.fifo));
    for (const char* path : {"fifo", "link to fifo", "socket", "/dev/null"}) {
        expect_run(run({arg(path)}), nullptr, "Could not map file", 4);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(writer.released) << "the FIFO was opened";
    ::close(listener);
    // Regular, but of size 0 like most of /proc.
    expect_run(run({arg("/proc/self/status")}), nullptr, "Could not map file", 4);
    // Regular, but sysfs: 4096 bytes that refuse mmap (ENODEV); the kernel's
    // BTF, which a private mapping takes.
    for (const char* sysfs_file :
         {"/sys/kernel/mm/transparent_hugepage/enabled", "/sys/kernel/btf/vmlinux"}) {
        if (std::filesystem::exists(sysfs_file)) {
            expect_run(run({arg(sysfs_file)}), nullptr, "Could not map file", 4);
        }
    }
}

// Each run in mount and IPC namespaces of its own, after `setup`; plant puts
// over /proc/$$/fd (the program's) a plain folder whose links name TARGET.
TEST_F(e2e_posix, in_namespaces_of_its_own)
{
    const std::vector<std::string> unshare = {"unshare", ::geteuid() == 0 ? "-mi" : "-rmi"};
    const auto refused = isi386::test::run_program({unshare[0], unshare[1], "true"}, dir);
    if (refused.status != 0) {
        GTEST_SKIP() << refused.err.substr(0, refused.err.find('\n'));
    }
    const isi386::test::blocked_writer writer(dir / "fifo");
    const std::string plant =
        "plant() { mkdir -p planted && for n in 3 4 5 6 7 8 9; do ln -sfn "
        "\"$PWD/$1\" planted/$n; done && mount --bind planted /proc/$$/fd; }; ";
    // A message queue is a regular file of 80 bytes that refuses mmap.
    for (const auto& [setup, path, status] : {
             std::tuple{"plant x86.exe", "x64.exe", 1},
             {"plant fifo", "x64.exe", 1},
             {"mkdir -p mq && mount -t mqueue mqueue mq && : >mq/queue", "mq/queue", 4},
         }) {
        auto command = unshare;
        command.insert(command.end(), {"sh", "-c", plant + setup + " && exec \"$0\" \"$1\"",
                                       isi386::test::program_path().native(), path});
        EXPECT_EQ(isi386::test::run_program(command, dir).status, status) << setup;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(writer.released) << "the FIFO was opened";
}

TEST_F(e2e_posix, unreadable_file_fails_at_open)
{
    write_file(dir / "secret.exe", pe_image(0x014C));
    ::chmod((dir / "secret.exe").c_str(), 0200);
    ::chmod(dir.c_str(), 0755);
    std::vector<isi386::test::native_string> command;
    if (::geteuid() == 0) {
        // root reads anything: drop to nobody for this run.
        command = {arg("setpriv"), arg("--reuid=65534"), arg("--regid=65534"),
                   arg("--clear-groups")};
    }
    // A copy in the scratch directory: the build tree may lie where nobody
    // cannot reach it (under a 0700 home, say).
    std::filesystem::copy_file(isi386::test::program_path(), dir / "isi386");
    command.push_back((dir / "isi386").native());
    command.push_back(arg("secret.exe"));
    expect_run(isi386::test::run_program(command, dir), nullptr, "Failed to open file", 3);
}

TEST_F(e2e_posix, paths_are_bytes)
{
    const std::vector<std::string> names = {"caf\xE9.exe", "a*b?.exe", "[x86].exe", " x86.exe",
                                            "\xFF\xFE"};
    for (const std::string& name : names) {
        write_file(dir / name, pe_image(0x014C));
        expect_run(run({name}), "1", nullptr, 0);
    }
}

TEST_F(e2e_posix, failed_writes_keep_the_status)
{
    // Nothing can be written, yet the answer stands as the exit status.
    EXPECT_EQ(run({arg("x86.exe")}, output_to::closed).status, 0);
    EXPECT_EQ(run({arg("x64.exe")}, output_to::closed).status, 1);
    // No reader on stdout: SIGPIPE must not end the run.
    EXPECT_EQ(run({arg("x86.exe")}, output_to::broken_pipe).status, 0);
    EXPECT_EQ(run({arg("x64.exe")}, output_to::broken_pipe).status, 1);
}

TEST_F(e2e_posix, view_beyond_address_space_limit)
{
    if (isi386::test::sanitized) {
        GTEST_SKIP() << "address-space limits do not work under sanitizers";
    }
    const auto command = std::vector{arg("prlimit"), arg("--as=268435456"), arg("--"),
                                     isi386::test::program_path().native(), arg("3 GiB")};
    expect_run(isi386::test::run_program(command, dir), nullptr, "Could not map view", 5);
}

} // namespace
