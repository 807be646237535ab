// Runs the built program as a child process and collects what it wrote.
#pragma once

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace isi386::test {

using native_string = std::filesystem::path::string_type;

enum class output_to {
    capture,     // stdout and stderr go to files read back afterwards
    closed,      // stdout is closed before the program starts
    broken_pipe, // stdout is a pipe whose reading end is already closed
};

struct run_result {
    std::string out;
    std::string err;
    int status = -1; // exit status, or -1 when the program did not exit normally
};

// Reads back what the child wrote to `file`, then removes the file.
inline std::string take_output(const std::filesystem::path& file)
{
    std::string text;
    {
        std::ifstream in(file, std::ios::binary);
        text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    std::error_code ignored;
    std::filesystem::remove(file, ignored);
    return text;
}

// The program under test: isi386 beside the test executable.
std::filesystem::path program_path();

// Runs `command` (command[0] is the program) in `directory`.
run_result run_program(const std::vector<native_string>& command,
                       const std::filesystem::path& directory,
                       output_to output = output_to::capture);

// The line end the program's text-mode streams write.
#ifdef _WIN32
inline constexpr const char* eol = "\r\n";
#else
inline constexpr const char* eol = "\n";
#endif

} // namespace isi386::test
