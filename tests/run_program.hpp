// Runs the program under test as a child process and collects what it wrote.
// The program is isi386 beside the test executable, or the one named by
// ISI386_TEST_PROGRAM (a Windows isi386.exe, or a Linux one for another
// architecture), started through the command in ISI386_TEST_EMULATOR when
// that is set (the Wine runner, qemu-user), and that through the command in
// ISI386_TEST_WRAPPER (valgrind); one word a line in each.
#pragma once

#include <filesystem>
#include <string>
#include <sys/types.h>
#include <vector>

namespace isi386::test {

using native_string = std::string;

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

// The program under test.
std::filesystem::path program_path();

// True when the program under test is a Windows program.
bool targets_windows();

// The line end the program's text-mode streams write.
const char* eol();

// The emulator's words, then `program`: what starts a program built like
// the one under test, without the wrapper.
std::vector<native_string> started(const native_string& program);

// The wrapper's words, then the program as started: what starts a run.
std::vector<native_string> program_command();

// Runs `command` (command[0] is the program) in `directory` and waits.
run_result run_program(const std::vector<native_string>& command,
                       const std::filesystem::path& directory,
                       output_to output = output_to::capture);

// Starts `command` in `directory`, its output to /dev/null, without waiting;
// -1 when it could not be started.
pid_t start_program(const std::vector<native_string>& command,
                    const std::filesystem::path& directory);

// Waits for a started program: its exit status, or -1.
int wait_program(pid_t pid);

} // namespace isi386::test
