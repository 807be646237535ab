#include "run_program.hpp"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace isi386::test {

std::filesystem::path program_path()
{
    return std::filesystem::read_symlink("/proc/self/exe").parent_path() / "isi386";
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
    // Relative paths in `command` are taken from `directory`.
    const std::filesystem::path previous = std::filesystem::current_path();
    std::filesystem::current_path(directory);
    std::vector<char*> argv;
    for (const native_string& arg : command) {
        argv.push_back(const_cast<char*>(arg.c_str()));
    }
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    std::filesystem::current_path(previous);
    posix_spawn_file_actions_destroy(&actions);
    if (pipe_fds[1] >= 0) {
        ::close(pipe_fds[1]);
    }
    run_result result;
    int wstatus = 0;
    if (spawned != 0 || ::waitpid(pid, &wstatus, 0) != pid) {
        return result;
    }
    result.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
    result.out = output == output_to::capture ? take_output(out_file) : "";
    result.err = take_output(err_file);
    return result;
}

} // namespace isi386::test
