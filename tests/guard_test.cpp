// The guarded read of a view, in-process: a fault inside the view during the
// read is answered; any other fault goes where it would have gone.
// image_probe.hpp stays out: this file includes <windows.h> on Windows.
#include "file_view.hpp"
#include "image_bytes.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#else
#include <csignal>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace {

// What the reader reads: one byte at `target`, saying it read up to `target_end`.
const std::byte* volatile target = nullptr;
volatile std::uint64_t target_end = 0;

std::optional<std::uint16_t> read_target(std::span<const std::byte> /*view*/, std::uint64_t& end)
{
    end = target_end;
    return std::to_integer<std::uint16_t>(*target);
}

// A page that "what was there before the guard" makes readable again when a
// fault reaches it, counting the faults it saw.
const std::byte* volatile repair = nullptr;
volatile int passed_on = 0;

#ifdef _WIN32
unsigned long process_id()
{
    return ::GetCurrentProcessId();
}

std::size_t page_size()
{
    SYSTEM_INFO info{};
    ::GetSystemInfo(&info);
    return info.dwPageSize;
}

void set_readable(const std::byte* page, bool readable)
{
    DWORD old = 0;
    ::VirtualProtect(const_cast<std::byte*>(page), page_size(),
                     readable ? PAGE_READONLY : PAGE_NOACCESS, &old);
}

LONG WINAPI repair_fault(EXCEPTION_POINTERS* /*exception*/)
{
    if (repair == nullptr) {
        return EXCEPTION_CONTINUE_SEARCH;
    }
    passed_on = passed_on + 1;
    set_readable(repair, true);
    repair = nullptr;
    return EXCEPTION_CONTINUE_EXECUTION;
}

// Installed last, so the guard is asked first.
void* install_repair()
{
    return ::AddVectoredExceptionHandler(0, repair_fault);
}

void remove_repair(void* handler)
{
    ::RemoveVectoredExceptionHandler(handler);
}
#else
unsigned long process_id()
{
    return static_cast<unsigned long>(::getpid());
}

std::size_t page_size()
{
    return static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
}

void set_readable(const std::byte* page, bool readable)
{
    ::mprotect(const_cast<std::byte*>(page), page_size(), readable ? PROT_READ : PROT_NONE);
}

extern "C" void repair_fault(int /*signal*/)
{
    if (repair != nullptr) {
        passed_on = passed_on + 1;
        set_readable(repair, true);
        repair = nullptr;
    }
}

struct sigaction saved_segv {};

void* install_repair()
{
    struct sigaction action {};
    action.sa_handler = repair_fault;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGSEGV, &action, &saved_segv);
    return nullptr;
}

void remove_repair(void* /*handler*/)
{
    ::sigaction(SIGSEGV, &saved_segv, nullptr);
}
#endif

// A file of three pages, byte 0x4C at the start of each, viewed twice
// through the platform layer: `view` is read under the guard, `other`
// stands for memory outside it.
class guard : public testing::Test {
  protected:
    void SetUp() override
    {
        page = page_size();
        // Named after the process, so that two runs never share it.
        path = std::filesystem::temp_directory_path() /
               ("isi386-guard-" + std::to_string(process_id()) + "-" +
                testing::UnitTest::GetInstance()->current_test_info()->name());
        isi386::test::bytes content(3 * page);
        for (std::size_t i = 0; i < 3; ++i) {
            isi386::test::put8(content, i * page, 0x4C);
        }
        ASSERT_TRUE(isi386::test::write_file(path, content));
        file = isi386::open_file(path.c_str());
        ASSERT_NE(file, isi386::no_file);
        mapping = isi386::create_mapping(file);
        ASSERT_NE(mapping, isi386::no_mapping);
        view = isi386::map_view(file, mapping);
        other = isi386::map_view(file, mapping);
        ASSERT_NE(view.data(), nullptr);
        ASSERT_NE(other.data(), nullptr);
    }

    void TearDown() override
    {
        isi386::close_file(file);
        isi386::close_mapping(mapping);
        isi386::unmap_view(view);
        isi386::unmap_view(other);
        std::error_code ignored;
        std::filesystem::remove(path, ignored);
    }

    // read_view's result and the machine value it gave, reading `at`.
    std::pair<bool, std::optional<std::uint16_t>>
    read_at(const std::byte* at, isi386::view_reader reader = read_target) const
    {
        target = at;
        std::optional<std::uint16_t> machine = 0xFFFF;
        const bool readable = isi386::read_view(reader, file, view, machine);
        return {readable, machine};
    }

    std::size_t page = 0;
    std::filesystem::path path;
    isi386::file_handle file = isi386::no_file;
    isi386::mapping_handle mapping = isi386::no_mapping;
    isi386::file_view view;
    isi386::file_view other;
};

using read_result = std::pair<bool, std::optional<std::uint16_t>>;

// The qemu that runs this test program, if any: named by Wine's runner, or
// by CTest for a Linux program of another architecture.
std::string qemu()
{
    const char* const name = std::getenv("ISI386_UNDER_QEMU");
    return name != nullptr ? name : "";
}

TEST_F(guard, fault_inside_view_while_file_holds_the_byte_is_unreadable)
{
#ifdef _WIN32
    if (!qemu().empty()) {
        GTEST_SKIP() << "under qemu-i386 a page fault reaches Wine as an illegal instruction";
    }
#endif
    const std::byte* second = view.data() + page;
    set_readable(second, false);
    EXPECT_EQ(read_at(second), read_result(false, std::nullopt));
    // Caught once, the guard is armed again for the next read.
    EXPECT_EQ(read_at(second), read_result(false, std::nullopt));
    set_readable(second, true);
    EXPECT_EQ(read_at(second), read_result(true, 0x4C));
}

// The read, in a thread of its own.
std::optional<std::uint16_t> read_in_another_thread(std::span<const std::byte> view,
                                                    std::uint64_t& end)
{
    std::optional<std::uint16_t> machine;
    std::thread([&] { machine = read_target(view, end); }).join();
    return machine;
}

TEST_F(guard, fault_outside_view_goes_where_it_would_have)
{
    // Outside the view; inside it, but in another thread than the guard's.
    const std::pair<const std::byte*, isi386::view_reader> cases[] = {
        {other.data() + page, read_target}, {view.data() + page, read_in_another_thread}};
    for (const auto& [at, reader] : cases) {
        set_readable(at, false);
        repair = at;
        passed_on = 0;
        void* const handler = install_repair();
        const read_result result = read_at(at, reader);
        remove_repair(handler);
        EXPECT_EQ(passed_on, 1);
        EXPECT_EQ(result, read_result(true, 0x4C));
    }
}

// Windows refuses to cut a file that has a mapped view.
#ifndef _WIN32
TEST_F(guard, file_cut_under_the_view_reads_as_too_short)
{
    if (qemu() == "qemu-s390x") {
        GTEST_SKIP() << "under qemu-s390x a SIGBUS reaches the program with the two halves of "
                        "its address swapped";
    }
    // Cut exactly at the second page's first byte, the one that faults:
    // the second and third pages stay mapped but lie past the end.
    ASSERT_EQ(::truncate(path.c_str(), static_cast<off_t>(page)), 0);
    EXPECT_EQ(read_at(view.data()), read_result(true, 0x4C));
    // No fault, but the answer came from bytes the file no longer holds.
    target_end = page + 1;
    EXPECT_EQ(read_at(view.data()), read_result(true, std::nullopt));
    target_end = page;
    EXPECT_EQ(read_at(view.data()), read_result(true, 0x4C));
    EXPECT_EQ(read_at(view.data() + page), read_result(true, std::nullopt));

    // Blocked in the mask beforehand, the signals are still caught, and the
    // mask is as it was afterwards.
    sigset_t faults;
    sigset_t before;
    sigemptyset(&faults);
    sigaddset(&faults, SIGBUS);
    sigaddset(&faults, SIGSEGV);
    ::sigprocmask(SIG_BLOCK, &faults, &before);
    EXPECT_EQ(read_at(view.data() + 2 * page), read_result(true, std::nullopt));
    sigset_t after;
    ::sigprocmask(SIG_SETMASK, &before, &after);
    EXPECT_EQ(sigismember(&after, SIGBUS), 1);

    // Outside a guarded read nothing is swallowed: the lost page still ends
    // the process, by SIGBUS or by the handler that was there before (a
    // sanitizer's, say).
    const auto* lost = view.data() + page;
    EXPECT_DEATH(static_cast<void>(*static_cast<const volatile std::byte*>(lost)), "");
}

// Counts the signals that reach the action in place before the read.
volatile int delivered = 0;
extern "C" void count_signal(int /*signal*/)
{
    delivered = delivered + 1;
}

// Sends this thread `signal` as another process would (si_code SI_QUEUE),
// claiming a fault at `target`, then reads it; 0 sends nothing.
template <int signal>
std::optional<std::uint16_t> read_after_sent(std::span<const std::byte> view, std::uint64_t& end)
{
    if (signal != 0) {
        siginfo_t info{};
        info.si_signo = signal;
        info.si_code = SI_QUEUE;
        info.si_addr = const_cast<std::byte*>(target);
        ::syscall(SYS_rt_tgsigqueueinfo, ::getpid(), ::gettid(), signal, &info);
    }
    return read_target(view, end);
}

TEST_F(guard, leaves_the_previous_actions_in_place)
{
    struct sigaction counting {};
    counting.sa_handler = count_signal;
    sigemptyset(&counting.sa_mask);
    struct sigaction before_bus {};
    struct sigaction before_segv {};
    ::sigaction(SIGBUS, &counting, &before_bus);
    ::sigaction(SIGSEGV, &counting, &before_segv);
    const std::pair<isi386::view_reader, int> cases[] = {
        {read_after_sent<0>, 0}, {read_after_sent<SIGBUS>, 1}, {read_after_sent<SIGSEGV>, 1}};
    for (const auto& [reader, signals] : cases) {
        delivered = 0;
        target = view.data();
        std::optional<std::uint16_t> machine;
        // A sent signal is no fault of the read: it reaches the action that
        // was there before, and the read goes on.
        EXPECT_TRUE(isi386::read_view(reader, file, view, machine));
        EXPECT_EQ(machine, 0x4C);
        EXPECT_EQ(delivered, signals);
        struct sigaction bus {};
        struct sigaction segv {};
        ::sigaction(SIGBUS, nullptr, &bus);
        ::sigaction(SIGSEGV, nullptr, &segv);
        EXPECT_EQ(bus.sa_handler, count_signal) << "SIGBUS action not put back";
        EXPECT_EQ(segv.sa_handler, count_signal) << "SIGSEGV action not put back";
    }
    ::sigaction(SIGBUS, &before_bus, nullptr);
    ::sigaction(SIGSEGV, &before_segv, nullptr);
}
#endif

} // namespace
