// The program end to end, on every platform: arguments and files in, one
// line on one stream and an exit status out.
#include "e2e_fixture.hpp"

namespace {

using isi386::test::arg;
using isi386::test::native_string;

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
        {"wildcard_is_a_path", {arg("*.exe")}, nullptr, "Failed to open file", 3},
        {"missing_file", {arg("no such file")}, nullptr, "Failed to open file", 3},
        {"directory", {arg("a directory")}, nullptr, "Failed to open file", 3},
        {"empty_file", {arg("empty")}, nullptr, "Could not map file", 4},
        {"too_short_for_header_offset", {arg("63 bytes")}, "0", nullptr, 1},
        {"field_in_header_offset", {arg("64 bytes offset 58")}, "0", nullptr, 1},
        {"no_signatures", {arg("no signatures")}, "1", nullptr, 0},
        {"field_past_end", {arg("field past end")}, "0", nullptr, 1},
    };
}

class e2e : public isi386::test::scratch_dir, public testing::WithParamInterface<e2e_case> {};

TEST_P(e2e, writes_one_line_and_status)
{
    const e2e_case& c = GetParam();
    isi386::test::expect_run(run(c.args), c.out, c.err, c.status);
}

INSTANTIATE_TEST_SUITE_P(cases, e2e, testing::ValuesIn(e2e_cases()),
                         [](const auto& param) { return std::string(param.param.name); });

} // namespace
