#include "run_program.hpp"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstdio>

namespace isi386::test {
namespace {

// One argument quoted so that the runtime's parser gives it back unchanged:
// backslashes double only before a quote.
std::wstring quote(const std::wstring& arg)
{
    std::wstring quoted = L"\"";
    std::size_t backslashes = 0;
    for (const wchar_t c : arg) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        quoted.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        quoted += c;
    }
    quoted.append(backslashes * 2, L'\\');
    return quoted + L"\"";
}

HANDLE create_output(const std::filesystem::path& file)
{
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    return ::CreateFileW(file.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
}

} // namespace

std::filesystem::path program_path()
{
    wchar_t self[MAX_PATH * 4];
    const DWORD n = ::GetModuleFileNameW(nullptr, self, MAX_PATH * 4);
    return std::filesystem::path(std::wstring(self, n)).parent_path() / L"isi386.exe";
}

run_result run_program(const std::vector<native_string>& command,
                       const std::filesystem::path& directory, output_to /*output*/)
{
    std::wstring line;
    for (const native_string& arg : command) {
        line += (line.empty() ? L"" : L" ") + quote(arg);
    }
    const std::filesystem::path out_file = directory / L".stdout";
    const std::filesystem::path err_file = directory / L".stderr";
    const HANDLE out = create_output(out_file);
    const HANDLE err = create_output(err_file);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = out;
    startup.hStdError = err;
    PROCESS_INFORMATION process{};
    // Wine now and then fails a process creation with ERROR_INTERNAL_ERROR;
    // that says nothing of the program, so try again.
    BOOL started = FALSE;
    for (int attempt = 0; attempt < 3 && started == 0; ++attempt) {
        started = ::CreateProcessW(command[0].c_str(), line.data(), nullptr, nullptr, TRUE, 0,
                                   nullptr, directory.c_str(), &startup, &process);
    }
    ::CloseHandle(out);
    ::CloseHandle(err);
    run_result result;
    if (started == 0) {
        std::fprintf(stderr, "CreateProcessW failed: error %lu\n", ::GetLastError());
    } else {
        ::WaitForSingleObject(process.hProcess, INFINITE);
        DWORD code = 0;
        ::GetExitCodeProcess(process.hProcess, &code);
        result.status = static_cast<int>(code);
        ::CloseHandle(process.hThread);
        ::CloseHandle(process.hProcess);
    }
    result.out = take_output(out_file);
    result.err = take_output(err_file);
    return result;
}

} // namespace isi386::test
