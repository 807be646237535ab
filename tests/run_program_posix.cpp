#include "run_program.hpp"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

extern char** environ;

namespace isi386::test {
namespace {

// Reads back what the child wrote to `file`, then removes the file.
std::string take_output(const std::filesystem::path& file)
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

pid_t spawn(const std::vector<native_string>& command, const std::filesystem::path& directory,
            const posix_spawn_file_actions_t* actions)
{
    // Relative paths in `command` are taken from `directory`.
    const std::filesystem::path previous = std::filesystem::current_path();
    std::filesystem::current_path(directory);
    std::vector<char*> argv;
    for (const native_string& arg : command) {
        argv.push_back(const_cast<char*>(arg.c_str()));
    }
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int spawned = posix_spawnp(&pid, argv[0], actions, nullptr, argv.data(), environ);
    std::filesystem::current_path(previous);
    return spawned == 0 ? pid : -1;
}

} // namespace

std::filesystem::path program_path()
{
    if (const char* program = std::getenv("ISI386_TEST_PROGRAM")) {
        return program;
    }
    return std::filesystem::read_symlink("/proc/self/exe").parent_path() / "isi386";
}

bool targets_windows()
{
    return program_path().extension() == ".exe";
}

const char* eol()
{
    return targets_windows() ? "\r\n" : "\n";
}

namespace {

// The words of the environment variable `name`, one a line.
std::vector<native_string> words_of(const char* name)
{
    std::vector<native_string> words;
    if (const char* text = std::getenv(name)) {
        for (const char* p = text; *p != 0;) {
            const char* end = std::strchr(p, '\n');
            end = end == nullptr ? p + std::strlen(p) : end;
            if (end != p) {
                words.emplace_back(p, end);
            }
            p = *end == 0 ? end : end + 1;
        }
    }
    return words;
}

} // namespace

std::vector<native_string> started(const native_string& program)
{
    std::vector<native_string> words = words_of("ISI386_TEST_EMULATOR");
    words.push_back(program);
    return words;
}

std::vector<native_string> program_command()
{
    std::vector<native_string> words = words_of("ISI386_TEST_WRAPPER");
    const std::vector<native_string> program = started(program_path().native());
    words.insert(words.end(), program.begin(), program.end());
    return words;
}

run_result run_program(const std::vector<native_string>& command,
                       const std::filesystem::path& directory, output_to output)
{
    const std::filesystem::path out_file = directory / ".stdout";
    const std::filesystem::path err_file = directory / ".stderr";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 2, err_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    int pipe_fds[2] = {-1, -1};
    if (output == output_to::capture) {
        posix_spawn_file_actions_addopen(&actions, 1, out_file.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
    } else if (output == output_to::closed) {
        posix_spawn_file_actions_addclose(&actions, 1);
    } else {
        if (::pipe(pipe_fds) != 0) {
            return {};
        }
        ::close(pipe_fds[0]);
        posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], 1);
    }
    const pid_t pid = spawn(command, directory, &actions);
    posix_spawn_file_actions_destroy(&actions);
    if (pipe_fds[1] >= 0) {
        ::close(pipe_fds[1]);
    }
    run_result result;
    result.status = wait_program(pid);
    result.out = output == output_to::capture ? take_output(out_file) : "";
    result.err = take_output(err_file);
    return result;
}

pid_t start_program(const std::vector<native_string>& command,
                    const std::filesystem::path& directory)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    const pid_t pid = spawn(command, directory, &actions);
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

int wait_program(pid_t pid)
{
    int wstatus = 0;
    if (pid < 0 || ::waitpid(pid, &wstatus, 0) != pid) {
        return -1;
    }
    return WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
}

} // namespace isi386::test
