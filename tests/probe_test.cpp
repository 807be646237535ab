// read_machine_field over byte layouts: where the field lies, byte order,
// and every way a file can be too short.
#include "image_bytes.hpp"
#include "image_probe.hpp"

#include <gtest/gtest.h>

#include <optional>

namespace {

using isi386::read_machine_field;
using isi386::test::bytes;
using isi386::test::header_only;

struct probe_case {
    const char* name;
    bytes file;
    std::optional<std::uint16_t> machine;
};

// Names the case in test output instead of dumping its bytes.
void PrintTo(const probe_case& c, std::ostream* os)
{
    *os << c.name;
}

std::vector<probe_case> probe_cases()
{
    return {
        {"i386_image", isi386::test::pe_image(0x014C), 0x014C},
        {"amd64_image", isi386::test::pe_image(0x8664), 0x8664},
        {"little_endian", header_only(0x80, 0x40, 0x4C, 0x01), 0x014C},
        {"byte_swapped", header_only(0x80, 0x40, 0x01, 0x4C), 0x4C01},
        // e_lfanew 0: the field is bytes 4 and 5, inside the DOS header.
        {"header_offset_zero", header_only(0x40, 0, 0x4C, 0x01), 0x014C},
        // No "MZ", no "PE\0\0": nothing but the field is judged.
        {"no_signatures", header_only(0x100, 0x80, 0x4C, 0x01), 0x014C},
        // 64 bytes, e_lfanew 58: the field is bytes 62..63, the upper half of
        // e_lfanew itself, so it reads 0.
        {"field_in_header_offset", header_only(64, 58, 0, 0), 0x0000},
        // Each byte of e_lfanew in its own place: a wrong shift reads elsewhere.
        {"offset_byte_2", header_only(0x00010046, 0x00010040, 0x4C, 0x01), 0x014C},
        {"offset_byte_3", header_only(0x01000046, 0x01000040, 0x4C, 0x01), 0x014C},
        {"exact_fit", header_only(0x46, 0x40, 0x4C, 0x01), 0x014C},
        {"one_byte_short", header_only(0x45, 0x40, 0, 0), std::nullopt},
        {"empty", bytes{}, std::nullopt},
        {"no_room_for_header_offset", bytes(63), std::nullopt},
        {"field_past_end", header_only(0x1000, 0x2000, 0, 0), std::nullopt},
        // e_lfanew + 4 (+ 2) wraps to 0..5 in 32 bits; in range it is not.
        {"wrap_to_zero", header_only(0x80, 0xFFFFFFFC, 0, 0), std::nullopt},
        {"wrap_to_two", header_only(0x80, 0xFFFFFFFA, 0, 0), std::nullopt},
        {"largest_offset", header_only(0x80, 0xFFFFFFFF, 0, 0), std::nullopt},
    };
}

class probe : public testing::TestWithParam<probe_case> {};

TEST_P(probe, reads_machine_field_or_nothing)
{
    const probe_case& c = GetParam();
    EXPECT_EQ(read_machine_field(c.file), c.machine);
}

INSTANTIATE_TEST_SUITE_P(layouts, probe, testing::ValuesIn(probe_cases()),
                         [](const auto& param) { return std::string(param.param.name); });

} // namespace
