// The driver in-process on Windows: nothing acquired outlives a run, by the
// process's handle count and the bytes its mapped views take; and a view is
// as long as its file.
#include "driver.hpp"
#include "image_bytes.hpp"
#include "run_driver.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>

#define WIN32_LEAN_AND_MEAN
#include <fcntl.h>
#include <io.h>
#include <windows.h>

namespace {

// The test list that CMake reads from this program is split at "\n" alone.
const int binary_stdout = _setmode(_fileno(stdout), _O_BINARY);

// The process's open handles, by the handle values that name something:
// Wine's GetProcessHandleCount always says 0, and its handle table query
// (SystemHandleInformation) can bring its server down.
std::size_t open_handles()
{
    std::size_t count = 0;
    for (std::uintptr_t value = 4; value < 0x2000; value += 4) {
        DWORD flags = 0;
        count += ::GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags) != 0 ? 1U : 0U;
    }
    return count;
}

// Bytes of the address space that mapped views (MEM_MAPPED) take.
std::uintptr_t mapped_bytes()
{
    std::uintptr_t total = 0;
    MEMORY_BASIC_INFORMATION region{};
    for (std::uintptr_t at = 0;
         ::VirtualQuery(reinterpret_cast<const void*>(at), &region, sizeof region) != 0;
         at = reinterpret_cast<std::uintptr_t>(region.BaseAddress) + region.RegionSize) {
        total += region.Type == MEM_MAPPED ? region.RegionSize : 0;
    }
    return total;
}

TEST(releases, nothing_outlives_a_run)
{
    const auto dir = std::filesystem::temp_directory_path() /
                     ("isi386-releases-" + std::to_string(::GetCurrentProcessId()));
    std::filesystem::create_directories(dir / "a directory");
    ASSERT_TRUE(isi386::test::write_file(dir / "x86.exe", isi386::test::pe_image(0x014C)));
    ASSERT_TRUE(isi386::test::write_file(dir / "x64.exe", isi386::test::pe_image(0x8664)));
    ASSERT_TRUE(isi386::test::write_file(dir / "tiny", isi386::test::bytes(10)));
    ASSERT_TRUE(isi386::test::write_file(dir / "empty", {}));
    const std::pair<const char*, int> cases[] = {
        {"x86.exe", 0},      {"x64.exe", 1},     {"tiny", 1},
        {"no such file", 3}, {"a directory", 3}, {"empty", 4},
    };
    for (const auto& [name, status] : cases) {
        ASSERT_EQ(isi386::test::run_driver(dir / name, 1), status) << name; // warm up the runtime
        const std::size_t handles = open_handles();
        const std::uintptr_t mapped = mapped_bytes();
        EXPECT_EQ(isi386::test::run_driver(dir / name, 50), status) << name;
        EXPECT_EQ(open_handles(), handles) << name;
        EXPECT_EQ(mapped_bytes(), mapped) << name;
    }
    // The view says no more bytes than the file holds, though its pages
    // span more.
    const isi386::file_handle file = isi386::open_file((dir / "tiny").c_str());
    const isi386::mapping_handle mapping = isi386::create_mapping(file);
    const isi386::file_view view = isi386::map_view(file, mapping);
    EXPECT_EQ(view.size(), 10U);
    isi386::close_file(file);
    isi386::close_mapping(mapping);
    isi386::unmap_view(view);
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
}

} // namespace
