// End-to-end cases that only Windows has: UTF-16 paths outside any ANSI
// code page, share modes, and the program examining itself.
#include "e2e_fixture.hpp"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

namespace {

using isi386::test::arg;
using isi386::test::eol;
using isi386::test::pe_image;
using isi386::test::write_file;

class e2e_win32 : public isi386::test::scratch_dir {};

TEST_F(e2e_win32, paths_are_utf16)
{
    const std::wstring names[] = {
        L"\u0444\u0430\u0439\u043b.exe", // Cyrillic
        L"\u6587\u4ef6.exe",             // CJK
        L"\U0001F5C2.exe",               // outside the BMP: a surrogate pair
    };
    for (const std::wstring& name : names) {
        write_file(dir / name, pe_image(0x014C));
        const auto result = run({name});
        EXPECT_EQ(result.out, std::string("1") + eol);
        EXPECT_EQ(result.status, 0);
    }
}

TEST_F(e2e_win32, writer_without_sharing_keeps_it_out)
{
    const std::wstring path = (dir / L"x86.exe").wstring();
    HANDLE writer = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    const auto locked = run({arg("x86.exe")});
    EXPECT_EQ(locked.err, std::string("Failed to open file") + eol);
    EXPECT_EQ(locked.status, 3);
    ::CloseHandle(writer);
    const auto released = run({arg("x86.exe")});
    EXPECT_EQ(released.out, std::string("1") + eol);
    EXPECT_EQ(released.status, 0);
}

TEST_F(e2e_win32, examines_its_own_program)
{
    // This build is x86-64, so its own machine field is 0x8664.
    const auto result = run({isi386::test::program_path().native()});
    EXPECT_EQ(result.out, std::string("0") + eol);
    EXPECT_EQ(result.status, 1);
}

} // namespace
