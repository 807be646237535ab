// The program end to end, whichever program is under test (the Linux build,
// or a Windows build through its runner): arguments and files in, one line
// on one stream and an exit status out.
#include "e2e_fixture.hpp"
#include "fault_fs.hpp"

#include <chrono>
#include <string_view>
#include <thread>

namespace {

using isi386::test::arg;
using isi386::test::native_string;
using isi386::test::targets_windows;

struct e2e_case {
    const char* name;
    std::vector<native_string> args;
    const char* out;
    const char* err;
    int status;
};

// Names the case in test output instead of dumping its bytes.
void PrintTo(const e2e_case& c, std::ostream* os)
{
    *os << c.name;
}

// The 32-bit Windows program: under qemu-i386 its page faults reach Wine as
// illegal instructions.
bool x86_windows_program()
{
    return targets_windows() && isi386::test::program_is_32_bit();
}

// Why a page fault under the view would not reach the program as one, or
// nothing when it would.
std::string why_faults_are_lost()
{
    if (isi386::test::started("").front() == "qemu-s390x") {
        return "under qemu-s390x a SIGBUS reaches the program with the two halves of its "
               "address swapped";
    }
    auto query = isi386::test::program_command();
    query.back() = "uses-qemu";
    if (x86_windows_program() &&
        isi386::test::run_program(query, std::filesystem::temp_directory_path()).status == 0) {
        return "under qemu-i386 a page fault reaches Wine as an illegal instruction";
    }
    return "";
}

std::vector<e2e_case> e2e_cases()
{
    return {
        {"i386_image", {arg("x86.exe")}, "1", nullptr, 0},
        {"amd64_image", {arg("x64.exe")}, "0", nullptr, 1},
        {"no_argument", {}, nullptr, "No file given", 2},
        {"empty_argument", {arg("")}, nullptr, "No file given", 2},
        {"empty_argument_then_file", {arg(""), arg("x86.exe")}, nullptr, "No file given", 2},
        {"only_first_argument_counts",
         {arg("x86.exe"), arg("x64.exe"), arg("-v")},
         "1",
         nullptr,
         0},
        {"only_first_argument_counts_2", {arg("x64.exe"), arg("x86.exe")}, "0", nullptr, 1},
        {"option_is_a_path", {arg("--help")}, nullptr, "Failed to open file", 3},
        {"dash_file_is_a_path", {arg("-x86.exe")}, "1", nullptr, 0},
        {"symlink_to_image", {arg("link to x86.exe")}, "1", nullptr, 0},
        {"wildcard_is_a_path", {arg("*.exe")}, nullptr, "Failed to open file", 3},
        {"missing_file", {arg("no such file")}, nullptr, "Failed to open file", 3},
        {"directory", {arg("a directory")}, nullptr, "Failed to open file", 3},
        {"empty_file", {arg("empty")}, nullptr, "Could not map file", 4},
        {"too_short_for_header_offset", {arg("63 bytes")}, "0", nullptr, 1},
        {"field_in_header_offset", {arg("64 bytes offset 58")}, "0", nullptr, 1},
        {"no_signatures", {arg("no signatures")}, "1", nullptr, 0},
        {"field_past_end", {arg("field past end")}, "0", nullptr, 1},
        // The field's last byte is the file's last: a view one byte short
        // would miss it.
        {"field_at_the_end", {arg("exact fit")}, "1", nullptr, 0},
        {"one_byte", {arg("1 byte")}, "0", nullptr, 1},
        {"modified_after_2038", {arg("modified 2040")}, "1", nullptr, 0},
        {"accessed_after_2038", {arg("accessed 2039")}, "1", nullptr, 0},
        {"cyrillic_name", {arg("\u0444\u0430\u0439\u043b.exe")}, "1", nullptr, 0},
        {"cjk_name", {arg("\u6587\u4ef6.exe")}, "1", nullptr, 0},
        {"name_outside_bmp", {arg("\U0001F5C2.exe")}, "1", nullptr, 0},
    };
}

// Sparse files: the cost of a run does not grow with the size, but the
// view must fit in the address space: for a 32-bit program the largest free
// stretch of it (2 GiB on Windows, under Wine about 640 MiB; under 3 GiB on
// Linux).
std::vector<e2e_case> size_cases()
{
    const bool limited = isi386::test::program_is_32_bit();
    const auto too_big = [limited](const char* name, const char* file) {
        return limited ? e2e_case{name, {arg(file)}, nullptr, "Could not map view", 5}
                       : e2e_case{name, {arg(file)}, "1", nullptr, 0};
    };
    return {
        {"sparse_256_MiB", {arg("256 MiB")}, "1", nullptr, 0},
        too_big("sparse_3_GiB", "3 GiB"),
        too_big("sparse_5_GiB", "5 GiB"),
        too_big("sparse_8_GiB", "8 GiB"),
    };
}

// Paths only Windows has. A 32-bit program asking for System32 is given
// SysWOW64 unless it turns that off: the prefix holds a 64-bit notepad in
// the one and a 32-bit one in the other.
std::vector<e2e_case> windows_cases()
{
    // Volumes and shadow copies hold files: opened, though Wine serves none.
    // A volume's root is a folder, never opened: Wine would open the volume
    // device (its GUID for C: ends in 43).
    const auto cannot_open = [](const char* name, const char* path) {
        return e2e_case{name, {arg(path)}, nullptr, "Failed to open file", 3};
    };
    return {
        {"system32_as_named", {arg("C:\\windows\\system32\\notepad.exe")}, "0", nullptr, 1},
        {"syswow64", {arg("C:\\windows\\syswow64\\notepad.exe")}, "1", nullptr, 0},
        {"drive_path", {arg("C:\\windows\\no such file")}, nullptr, "Failed to open file", 3},
        {"win32_namespace", {arg("\\\\?\\C:\\windows\\system32\\notepad.exe")}, "0", nullptr, 1},
        {"win32_namespace_lower_case", {arg("\\\\?\\c:\\windows\\notepad.exe")}, "0", nullptr, 1},
        {"device_namespace_drive", {arg("\\\\.\\C:\\windows\\notepad.exe")}, "0", nullptr, 1},
        {"nt_namespace_drive", {arg("\\??\\C:\\windows\\notepad.exe")}, "0", nullptr, 1},
        {"unc_namespace", {arg("\\\\?\\UNC\\nowhere\\c$\\x")}, nullptr, "Failed to open file", 3},
        cannot_open("volume_guid", "\\\\?\\Volume{01234567-89ab-cdef-0123-456789ABCDEF}\\x"),
        cannot_open("volume_guid_device_namespace",
                    "\\\\.\\Volume{01234567-89ab-cdef-0123-456789abcdef}\\x"),
        cannot_open("disk_volume", "\\\\?\\GLOBALROOT\\Device\\HarddiskVolume1\\x"),
        cannot_open("shadow_copy", "\\\\?\\GLOBALROOT\\Device\\HarddiskVolumeShadowCopy12\\x"),
        cannot_open("volume_root", "\\\\?\\Volume{00000000-0000-0000-0000-000000000043}\\"),
        cannot_open("volume_root_device_namespace",
                    "\\\\.\\Volume{00000000-0000-0000-0000-000000000043}\\"),
        cannot_open("volume_root_nt_namespace",
                    "\\??\\Volume{00000000-0000-0000-0000-000000000043}\\"),
        cannot_open("disk_volume_root", "\\\\?\\GLOBALROOT\\Device\\HarddiskVolume1\\"),
    };
}

class e2e : public isi386::test::scratch_dir, public testing::WithParamInterface<e2e_case> {};

TEST_P(e2e, writes_one_line_and_status)
{
    const e2e_case& c = GetParam();
    isi386::test::expect_run(run(c.args), c.out, c.err, c.status);
}

const auto case_name = [](const auto& param) { return std::string(param.param.name); };
INSTANTIATE_TEST_SUITE_P(cases, e2e, testing::ValuesIn(e2e_cases()), case_name);
INSTANTIATE_TEST_SUITE_P(sizes, e2e, testing::ValuesIn(size_cases()), case_name);
INSTANTIATE_TEST_SUITE_P(windows, e2e, testing::ValuesIn(windows_cases()), case_name);
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(e2e);

using e2e_run = isi386::test::scratch_dir;

// The two faults a mapped read can meet, made on purpose by faultfs.
TEST_F(e2e_run, faults_under_the_view)
{
    if (const std::string why = why_faults_are_lost(); !why.empty()) {
        GTEST_SKIP() << why;
    }
    const isi386::test::mounted_faults faults(dir / "faults");
    ISI386_NEEDS_FAULTS(faults);
    // The file still holds the header, but its page cannot be read.
    // (valgrind reads each mapped file for debug information, and says so
    // on stderr when it cannot.)
    const char* const wrapper = std::getenv("ISI386_TEST_WRAPPER");
    if (wrapper == nullptr || std::string_view(wrapper).find("valgrind") == std::string::npos) {
        isi386::test::expect_run(run({arg("faults/unreadable.exe")}), nullptr, "Could not map view",
                                 5);
    }
    // The file is cut to its first page once that page is read: it ends
    // exactly at the field, which is gone from under the view.
    isi386::test::expect_run(run({arg("faults/shrinking.exe")}), "0", nullptr, 1);
}

// Files cut under the view, or refusing a shared mapping, with no fault.
TEST_F(e2e_run, files_that_raise_no_fault)
{
    const isi386::test::mounted_faults faults(dir / "faults");
    ISI386_NEEDS_FAULTS(faults);
    // Cut within its page once read: e_lfanew reads as 0, and Machine as
    // 0x014C, from bytes the file no longer holds.
    isi386::test::expect_run(run({arg("faults/cut_in_page.exe")}), "0", nullptr, 1);
    isi386::test::expect_run(run({arg("faults/direct.exe")}), "1", nullptr, 0);
    // Refused at the open, and readable if looked up again: the refusal is
    // the answer.
    isi386::test::expect_run(run({arg("faults/refused.exe")}), nullptr, "Failed to open file", 3);
}

using e2e_windows = isi386::test::scratch_dir;

// COM1 of the test prefix is a FIFO with a writer blocked on it: an open of
// COM1 releases the writer.
TEST_F(e2e_windows, devices_are_refused_unopened)
{
    const auto com1 =
        std::filesystem::path(isi386::test::program_command().at(1)) / "dosdevices" / "com1";
    std::error_code ignored;
    std::filesystem::remove(com1, ignored);
    const isi386::test::blocked_writer writer(dir / "fifo");
    std::filesystem::create_symlink(dir / "fifo", com1);
    for (const char* device :
         {"COM1", "\\\\.\\COM1", "\\??\\COM1", "COM1.txt", "a directory\\COM1", "CON", "CONIN$",
          "NUL", "\\\\.\\pipe\\isi386", "\\\\nowhere\\PIPE\\isi386", "\\\\.\\GLOBALROOT",
          // Taken verbatim by the open: a pipe whose name goes on with "..".
          "\\\\?\\pipe\\..\\C:\\windows\\notepad.exe", "\\\\?\\UNC\\nowhere\\pipe\\..\\c$\\x",
          "\\\\?\\GLOBALROOT\\Device\\NamedPipe\\isi386", "\\\\?\\Volume{0123}\\x",
          // Malformed volumes: a GUID one short, one long, with a wrong, a
          // missing or an unfollowed brace, a non-hex digit, a misplaced
          // dash; a device name without its number or with more after it.
          "\\\\?\\Volume{01234567-89ab-cdef-0123-456789abcde}\\x",
          "\\\\?\\Volume{01234567-89ab-cdef-0123-456789abcdef0}\\x",
          "\\\\?\\Volume{01234567-89ab-cdef-0123-456789abcdef)\\x",
          "\\\\?\\Volume{01234567-89ab-cdef-0123-456789abcdef\\x",
          "\\\\?\\Volume{01234567-89ab-cdef-0123-456789abcdef}x\\y",
          "\\\\?\\Volume{0123456g-89ab-cdef-0123-456789abcdef}\\x",
          "\\\\?\\Volume{0123456-789ab-cdef-0123-456789abcdef}\\x",
          "\\\\.\\GLOBALROOT\\Device\\HarddiskVolume\\x",
          "\\\\?\\GLOBALROOT\\Device\\HarddiskVolumeShadowCopy\\x",
          "\\\\?\\GLOBALROOT\\Device\\HarddiskVolume7x\\y"}) {
        isi386::test::expect_run(run({arg(device)}), nullptr, "Could not map file", 4);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(writer.released) << "COM1 was opened";
}

TEST_F(e2e_windows, examines_its_own_program)
{
    const bool x86 = x86_windows_program();
    isi386::test::expect_run(run({isi386::test::program_path().native()}), x86 ? "1" : "0", nullptr,
                             x86 ? 0 : 1);
}

TEST_F(e2e_windows, writer_sharing_everything_keeps_it_out)
{
    // hold_file opens x86.exe for writing and x64.exe for deleting, sharing
    // all, so only the program's own share mode can refuse the open.
    const char* holder = std::getenv("ISI386_TEST_HOLDER");
    ASSERT_NE(holder, nullptr) << "ISI386_TEST_HOLDER names hold_file.exe";
    auto command = isi386::test::program_command();
    command.back() = holder;
    command.push_back("x86.exe");
    command.push_back("x64.exe");
    const pid_t pid = isi386::test::start_program(command, dir);
    ASSERT_GT(pid, 0);
    for (int i = 0; i < 6000 && !std::filesystem::exists(dir / "x86.exe.held"); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_TRUE(std::filesystem::exists(dir / "x86.exe.held"));
    isi386::test::expect_run(run({arg("x86.exe")}), nullptr, "Failed to open file", 3);
    isi386::test::expect_run(run({arg("x64.exe")}), nullptr, "Failed to open file", 3);
    isi386::test::write_file(dir / "x86.exe.release", {});
    EXPECT_EQ(isi386::test::wait_program(pid), 0);
    isi386::test::expect_run(run({arg("x86.exe")}), "1", nullptr, 0);
}

} // namespace
