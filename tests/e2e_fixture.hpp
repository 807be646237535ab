// A scratch directory holding the files the end-to-end cases name.
#pragma once

#include "image_bytes.hpp"
#include "run_program.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>
#include <thread>
#include <tuple>

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
    return {text};
}

// Whether the program under test is a 32-bit one: as its build says
// (ISI386_TEST_32_BIT), or as this test program is, built beside it.
inline bool program_is_32_bit()
{
    const char* const named = std::getenv("ISI386_TEST_32_BIT");
    return named != nullptr ? std::string_view(named) == "1" : sizeof(void*) == 4;
}

// The run wrote `out` on stdout and `err` on stderr (each a line, or nothing
// when null) and exited with `status`.
inline void expect_run(const run_result& result, const char* out, const char* err, int status)
{
    const auto line = [](const char* text) { return text ? std::string(text) + eol() : ""; };
    EXPECT_EQ(result.out, line(out));
    EXPECT_EQ(result.err, line(err));
    EXPECT_EQ(result.status, status);
}

// A 1 KiB i386 image made sparse up to `size` bytes.
inline void write_sparse_image(const std::filesystem::path& file, std::uintmax_t size)
{
    write_file(file, pe_image(0x014C));
    std::filesystem::resize_file(file, size);
}

// A FIFO made at `path`, with a writer blocked on it until the FIFO is opened
// for reading: whoever opens it releases the writer, whose data is lost.
struct blocked_writer {
    explicit blocked_writer(const std::filesystem::path& path) : fifo(path)
    {
        ::mkfifo(path.c_str(), 0600);
        writer = std::thread([this] {
            ::close(::open(fifo.c_str(), O_WRONLY | O_CLOEXEC));
            released = true;
        });
    }
    ~blocked_writer()
    {
        ::close(::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
        writer.join();
    }
    std::filesystem::path fifo;
    std::atomic<bool> released{false};
    std::thread writer;
};

class scratch_dir : public testing::Test {
  protected:
    void SetUp() override
    {
        // Unique, so that two runs of the suite never share files.
        std::string pattern = (std::filesystem::temp_directory_path() / "isi386-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        dir = pattern;
        std::filesystem::create_directories(dir / "a directory");
        write_file(dir / "x86.exe", pe_image(0x014C));
        write_file(dir / "x64.exe", pe_image(machine_amd64));
        write_file(dir / "-x86.exe", pe_image(0x014C));
        std::filesystem::create_symlink("x86.exe", dir / "link to x86.exe");
        write_file(dir / "empty", {});
        write_file(dir / "63 bytes", bytes(63));
        write_file(dir / "64 bytes offset 58", header_only(64, 58, 0, 0));
        write_file(dir / "no signatures", header_only(0x100, 0x80, 0x4C, 0x01));
        write_file(dir / "field past end", header_only(0x100, 0xFFFFFFFA, 0, 0));
        write_file(dir / "exact fit", header_only(0x46, 0x40, 0x4C, 0x01));
        write_file(dir / "1 byte", bytes(1));
        // Outside any ANSI code page; the last is a surrogate pair in UTF-16.
        for (const char* utf8 :
             {"\u0444\u0430\u0439\u043b.exe", "\u6587\u4ef6.exe", "\U0001F5C2.exe"}) {
            write_file(dir / utf8, pe_image(0x014C));
        }
        // Times past January 2038, which a 32-bit time_t cannot hold.
        for (const auto& [file, which, at] :
             {std::tuple{"modified 2040", 1U, 2208988800}, {"accessed 2039", 0U, 2177452800}}) {
            write_file(dir / file, pe_image(0x014C));
            std::array<timespec, 2> times{timespec{0, UTIME_OMIT}, timespec{0, UTIME_OMIT}};
            times.at(which) = {at, 0};
            ::utimensat(AT_FDCWD, (dir / file).c_str(), times.data(), 0);
        }
        for (const auto& [file, size] : sizes) {
            write_sparse_image(dir / file, size);
        }
    }

    void TearDown() override
    {
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    }

    // Runs the program under test with `args`.
    run_result run(const std::vector<native_string>& args,
                   output_to output = output_to::capture) const
    {
        std::vector<native_string> command = program_command();
        command.insert(command.end(), args.begin(), args.end());
        return run_program(command, dir, output);
    }

    static constexpr std::pair<const char*, std::uintmax_t> sizes[] = {
        {"256 MiB", std::uintmax_t{256} << 20},
        {"3 GiB", std::uintmax_t{3} << 30},
        {"5 GiB", std::uintmax_t{5} << 30},
        {"8 GiB", std::uintmax_t{8} << 30},
    };

    std::filesystem::path dir;
};

} // namespace isi386::test
