// Holds a file open for writing, or for deleting, until told to let go:
//   hold_file FILE [delete]
// opens FILE for writing (or with delete access alone), sharing read, write
// and delete, creates FILE.held, and waits until FILE.release exists. Exits
// 1 when FILE cannot be opened.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <string>

int wmain(int argc, wchar_t** argv)
{
    if (argc != 2 && argc != 3) {
        return 2;
    }
    const DWORD access = argc == 3 && std::wstring(argv[2]) == L"delete" ? DELETE : GENERIC_WRITE;
    const HANDLE file =
        ::CreateFileW(argv[1], access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return 1;
    }
    const std::wstring held = std::wstring(argv[1]) + L".held";
    const std::wstring release = std::wstring(argv[1]) + L".release";
    ::CloseHandle(::CreateFileW(held.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    while (::GetFileAttributesW(release.c_str()) == INVALID_FILE_ATTRIBUTES) {
        ::Sleep(10);
    }
    ::CloseHandle(file);
    return 0;
}
