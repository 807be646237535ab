// Holds a file open for writing until told to let go:
//   hold_file FILE [OTHER]
// opens FILE for writing (OTHER for deleting), sharing read, write and delete,
// creates FILE.held, and waits until FILE.release exists. Exits 1 when FILE
// cannot be opened.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <string>

int wmain(int argc, wchar_t** argv)
{
    if (argc < 2) {
        return 2;
    }
    const HANDLE file = ::CreateFileW(argv[1], GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    const HANDLE other =
        argc == 3
            ? ::CreateFileW(argv[2], DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)
            : nullptr;
    if (file == INVALID_HANDLE_VALUE || other == INVALID_HANDLE_VALUE) {
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
    ::CloseHandle(other);
    return 0;
}
