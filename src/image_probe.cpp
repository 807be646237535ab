#include "image_probe.hpp"

#include <algorithm>

namespace isi386 {
namespace {

// MS-DOS stub header field e_lfanew: file offset of the "PE\0\0" signature,
// which the COFF file header follows; Machine is its first field.
constexpr std::uint64_t header_offset_at = 0x3C;
constexpr std::uint64_t signature_size = 4;
constexpr std::uint64_t machine_size = 2;

std::uint32_t le32(const std::byte* p)
{
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8U |
           static_cast<std::uint32_t>(p[2]) << 16U | static_cast<std::uint32_t>(p[3]) << 24U;
}

std::uint16_t le16(const std::byte* p)
{
    const auto low = static_cast<unsigned>(p[0]);
    const auto high = static_cast<unsigned>(p[1]);
    return static_cast<std::uint16_t>(low | high << 8U);
}

} // namespace

std::optional<std::uint16_t> read_machine_field(std::span<const std::byte> file)
{
    std::uint64_t end = 0;
    return read_machine_field(file, end);
}

std::optional<std::uint16_t> read_machine_field(std::span<const std::byte> file, std::uint64_t& end)
{
    // Sizes and offsets are compared in 64 bits: e_lfanew + 6 cannot wrap
    // there, and on a 32-bit build the file size always fits.
    const std::uint64_t size = file.size();
    end = 0;
    if (size < header_offset_at + 4) {
        return std::nullopt;
    }
    end = header_offset_at + 4;
    const std::uint64_t machine_at =
        std::uint64_t{le32(&file[static_cast<std::size_t>(header_offset_at)])} + signature_size;
    // The farthest byte read is machine_at + 1.
    if (machine_at + machine_size > size) {
        return std::nullopt;
    }
    // An e_lfanew below 58 puts the field before the header offset's end.
    end = std::max(end, machine_at + machine_size);
    // machine_at < size, so it fits in std::size_t.
    return le16(&file[static_cast<std::size_t>(machine_at)]);
}

} // namespace isi386
