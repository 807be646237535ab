// End-to-end cases that only POSIX systems have: FIFOs, devices, file
// modes, signals and resource limits, and paths that are raw bytes.
#include "e2e_fixture.hpp"
#include "fault_fs.hpp"

#include <fcntl.h>
#include <sched.h>
#include <sys/inotify.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
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
    // Another process whose descriptors 3 to 9 name the FIFO (O_PATH, which
    // opens nothing): its procfs folder is procfs too.
    const int fifo = ::open(writer.fifo.c_str(), O_PATH | O_CLOEXEC);
    const pid_t holder = ::fork();
    if (holder == 0) {
        for (int fd = 3; fd <= 9; ++fd) {
            ::dup2(fifo, fd);
        }
        ::pause();
    }
    const std::string plant =
        "plant() { mkdir -p planted && for n in 3 4 5 6 7 8 9; do ln -sfn "
        "\"$PWD/$1\" planted/$n; done && mount --bind planted /proc/$$/fd; }; ";
    for (const auto& [setup, path, status] : {
             std::tuple<std::string, const char*, int>{"plant x86.exe", "x64.exe", 1},
             {"plant fifo", "x64.exe", 1},
             {"mount --bind /proc/" + std::to_string(holder) + "/fd /proc/$$/fd", "x64.exe", 1},
         }) {
        auto command = unshare;
        command.insert(command.end(), {"sh", "-c", plant + setup + " && exec \"$0\" \"$@\""});
        std::ranges::copy(isi386::test::started(isi386::test::program_path().native()),
                          std::back_inserter(command));
        command.push_back(path);
        EXPECT_EQ(isi386::test::run_program(command, dir).status, status) << setup;
    }
    ::kill(holder, SIGKILL);
    isi386::test::wait_program(holder);
    ::close(fifo);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(writer.released) << "the FIFO was opened";
}

// Kernel file systems mounted afresh in a mount namespace of the calling
// thread's own: their files are named, never opened (inotify sees every open
// but an O_PATH one). Why they cannot be, or nothing.
std::string try_kernel_files(
    const std::filesystem::path& dir,
    const std::function<isi386::test::run_result(const std::vector<std::string>&)>& run)
{
    if (::unshare(CLONE_NEWNS) != 0 ||
        ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        return std::strerror(errno);
    }
    for (const auto& [type, options, file] : {
             std::tuple{"cgroup", "none,name=isi386", "cgroup.procs"},
             {"cgroup2", "", "cgroup.procs"},
             {"securityfs", "", "lsm"},
             {"binfmt_misc", "", "status"},
             {"tracefs", "", "README"},
             {"debugfs", "", "fault_around_bytes"},
             {"bpf", "", "progs.debug"},
             {"proc", "", "version"},
             {"sysfs", "", "kernel/mm/transparent_hugepage/enabled"},
             {"mqueue", "", "queue"}, // a regular file of 80 bytes, made here
         }) {
        const auto at = dir / type;
        std::filesystem::create_directory(at);
        // Not in every kernel: only those mounted, with the file, are tried.
        if (::mount(type, at.c_str(), type, 0, options) == 0 &&
            (std::filesystem::exists(at / file) || std::ofstream(at / file))) {
            const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
            EXPECT_GE(::inotify_add_watch(watch, (at / file).c_str(), IN_OPEN), 0) << type;
            expect_run(run({(at / file).string()}), nullptr, "Could not map file", 4);
            std::array<char, 256> event{};
            EXPECT_LT(::read(watch, event.data(), event.size()), 0) << type << " file opened";
            ::close(watch);
        }
        ::umount2(at.c_str(), MNT_DETACH); // before the scratch folder is removed
    }
    return "";
}

// In a thread of its own, whose mount namespace ends with it.
TEST_F(e2e_posix, kernel_files_are_never_opened)
{
    std::string refused;
    std::thread([&] {
        refused = try_kernel_files(dir, [this](const auto& args) { return run(args); });
    }).join();
    if (!refused.empty()) {
        GTEST_SKIP() << "cannot make / private in a mount namespace of its own: " << refused;
    }
}

// Refused at the open: a file nobody may read, and faultfs's liars, whose lie
// is the answer: the FIFO their links lead to then stays unopened.
TEST_F(e2e_posix, refused_at_the_open)
{
    write_file(dir / "secret.exe", pe_image(0x014C));
    ::chmod((dir / "secret.exe").c_str(), 0200);
    ::chmod(dir.c_str(), 0755);
    const isi386::test::blocked_writer writer(dir / "fifo");
    ::chmod(writer.fifo.c_str(), 0666);
    const isi386::test::mounted_faults faults(dir / "faults");
    std::vector<isi386::test::native_string> command;
    if (::geteuid() == 0) {
        // root reads anything: drop to nobody for this run.
        command = {arg("setpriv"), arg("--reuid=65534"), arg("--regid=65534"),
                   arg("--clear-groups")};
    }
    // A copy in the scratch directory: the build tree may lie where nobody
    // cannot reach it (under a 0700 home, say).
    std::filesystem::copy_file(isi386::test::program_path(), dir / "isi386");
    const auto program = isi386::test::started((dir / "isi386").native());
    std::ranges::copy(program, std::back_inserter(command));
    for (const std::string lie : {"", "enoent", "inode", "reopened", "fstat", "fstatfs"}) {
        // As nobody, and the liars as root too.
        for (auto run : {command, lie.empty() ? command : program}) {
            run.push_back(lie.empty() ? "secret.exe" : "faults/via-" + lie + ".exe");
            expect_run(isi386::test::run_program(run, dir), nullptr, "Failed to open file", 3);
        }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(writer.released) << "the FIFO was opened";
    ISI386_NEEDS_FAULTS(faults);
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
    // A 32-bit program's own address space is the limit (and qemu-user
    // needs all of it to start one).
    std::vector<isi386::test::native_string> command;
    if (!isi386::test::program_is_32_bit()) {
        command = {arg("prlimit"), arg("--as=268435456"), arg("--")};
    }
    std::ranges::copy(isi386::test::started(isi386::test::program_path().native()),
                      std::back_inserter(command));
    command.push_back(arg("3 GiB"));
    expect_run(isi386::test::run_program(command, dir), nullptr, "Could not map view", 5);
}

} // namespace
