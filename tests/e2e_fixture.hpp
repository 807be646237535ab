// A scratch directory holding the files the end-to-end cases name.
#pragma once

#include "image_bytes.hpp"
#include "run_program.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

namespace isi386::test {

// Sanitizer runtimes reserve terabytes of address space up front, so an
// address-space limit cannot be tested under them.
#ifdef ISI386_SANITIZED
inline constexpr bool sanitized = true;
#else
inline constexpr bool sanitized = false;
#endif

// ASCII text as a native command-line string.
inline native_string arg(const char* text)
{
    return native_string(text, text + std::strlen(text));
}

// The run wrote `out` on stdout and `err` on stderr (each a line, or nothing
// when null) and exited with `status`.
inline void expect_run(const run_result& result, const char* out, const char* err, int status)
{
    const auto line = [](const char* text) { return text ? std::string(text) + eol : ""; };
    EXPECT_EQ(result.out, line(out));
    EXPECT_EQ(result.err, line(err));
    EXPECT_EQ(result.status, status);
}

class scratch_dir : public testing::Test {
  protected:
    void SetUp() override
    {
        const auto* info = testing::UnitTest::GetInstance()->current_test_info();
        std::string name = std::string("isi386-") + info->test_suite_name() + "-" + info->name();
        for (char& c : name) {
            if (c == '/') {
                c = '-';
            }
        }
        dir = std::filesystem::temp_directory_path() / name;
        std::filesystem::remove_all(dir);
        std::filesystem::create_directories(dir / "a directory");
        write_file(dir / "x86.exe", pe_image(0x014C));
        write_file(dir / "x64.exe", pe_image(machine_amd64));
        write_file(dir / "-x86.exe", pe_image(0x014C));
        write_file(dir / "empty", {});
        write_file(dir / "63 bytes", bytes(63));
        write_file(dir / "64 bytes offset 58", header_only(64, 58, 0, 0));
        write_file(dir / "no signatures", header_only(0x100, 0x80, 0x4C, 0x01));
        write_file(dir / "field past end", header_only(0x100, 0xFFFFFFFA, 0, 0));
    }

    void TearDown() override
    {
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    }

    // Runs the program with `args`, under the command in ISI386_TEST_WRAPPER
    // (words split at spaces; valgrind, say) when that is set.
    run_result run(std::vector<native_string> args, output_to output = output_to::capture) const
    {
        args.insert(args.begin(), program_path().native());
        if (const char* wrapper = std::getenv("ISI386_TEST_WRAPPER")) {
            std::vector<native_string> words;
            for (const char* p = wrapper; *p != 0;) {
                const char* end = std::strchr(p, ' ');
                end = end == nullptr ? p + std::strlen(p) : end;
                if (end != p) {
                    words.emplace_back(p, end);
                }
                p = *end == 0 ? end : end + 1;
            }
            args.insert(args.begin(), words.begin(), words.end());
        }
        return run_program(args, dir, output);
    }

    std::filesystem::path dir;
};

} // namespace isi386::test
