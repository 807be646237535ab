// Builds PE/COFF files byte by byte, so tests and samples need no binaries
// from elsewhere.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <vector>

namespace isi386::test {

using bytes = std::vector<std::byte>;

inline void put8(bytes& b, std::size_t at, unsigned value)
{
    if (b.size() <= at) {
        b.resize(at + 1);
    }
    b[at] = static_cast<std::byte>(value & 0xFFU);
}

// Little-endian, growing the buffer as needed.
inline void put16(bytes& b, std::size_t at, std::uint16_t value)
{
    put8(b, at, value);
    put8(b, at + 1, static_cast<unsigned>(value >> 8U));
}

inline void put32(bytes& b, std::size_t at, std::uint32_t value)
{
    put16(b, at, static_cast<std::uint16_t>(value & 0xFFFFU));
    put16(b, at + 2, static_cast<std::uint16_t>(value >> 16U));
}

inline void put64(bytes& b, std::size_t at, std::uint64_t value)
{
    put32(b, at, static_cast<std::uint32_t>(value & 0xFFFFFFFFU));
    put32(b, at + 4, static_cast<std::uint32_t>(value >> 32U));
}

inline constexpr std::uint16_t machine_amd64 = 0x8664;

// A small, well-formed console image: DOS header, "PE\0\0", COFF file
// header, optional header (PE32 for i386, PE32+ otherwise) and one .text
// section whose code is `xor eax, eax; ret`. 1 KiB in all.
inline bytes pe_image(std::uint16_t machine)
{
    const bool pe32 = machine == 0x014C;
    bytes b(0x400);
    put16(b, 0x00, 0x5A4D);     // "MZ"
    put32(b, 0x3C, 0x40);       // e_lfanew
    put32(b, 0x40, 0x00004550); // "PE\0\0"
    // COFF file header at 0x44.
    put16(b, 0x44, machine);
    put16(b, 0x46, 1);                  // NumberOfSections
    put16(b, 0x54, pe32 ? 0xE0 : 0xF0); // SizeOfOptionalHeader
    // RELOCS_STRIPPED | EXECUTABLE_IMAGE, then 32BIT_MACHINE or LARGE_ADDRESS_AWARE.
    put16(b, 0x56, pe32 ? 0x0103 : 0x0023);
    // Optional header at 0x58; PE32+ drops BaseOfData and widens ImageBase
    // and the four stack and heap sizes to 64 bits.
    const std::size_t o = 0x58;
    put16(b, o + 0, pe32 ? 0x010B : 0x020B); // Magic
    put32(b, o + 4, 0x200);                  // SizeOfCode
    put32(b, o + 16, 0x1000);                // AddressOfEntryPoint
    put32(b, o + 20, 0x1000);                // BaseOfCode
    if (pe32) {
        put32(b, o + 24, 0x1000);     // BaseOfData
        put32(b, o + 28, 0x00400000); // ImageBase
    } else {
        put64(b, o + 24, 0x140000000); // ImageBase
    }
    put32(b, o + 32, 0x1000);         // SectionAlignment
    put32(b, o + 36, 0x200);          // FileAlignment
    put16(b, o + 40, 6);              // MajorOperatingSystemVersion
    put16(b, o + 48, 6);              // MajorSubsystemVersion
    put32(b, o + 56, 0x2000);         // SizeOfImage
    put32(b, o + 60, 0x200);          // SizeOfHeaders
    put16(b, o + 68, 3);              // Subsystem: Windows console
    const std::size_t sizes = o + 72; // stack and heap, reserve then commit
    const std::size_t width = pe32 ? 4 : 8;
    for (std::size_t i = 0; i < 4; ++i) {
        const std::uint32_t value = i % 2 == 0 ? 0x100000 : 0x1000;
        put32(b, sizes + i * width, value);
    }
    put32(b, sizes + 4 * width + 4, 16); // NumberOfRvaAndSizes
    // Section header right after the optional header.
    const std::size_t s = 0x58 + (pe32 ? 0xE0U : 0xF0U);
    const char name[] = ".text";
    for (std::size_t i = 0; i < sizeof name - 1; ++i) {
        put8(b, s + i, static_cast<unsigned char>(name[i]));
    }
    put32(b, s + 8, 3);           // VirtualSize
    put32(b, s + 12, 0x1000);     // VirtualAddress
    put32(b, s + 16, 0x200);      // SizeOfRawData
    put32(b, s + 20, 0x200);      // PointerToRawData
    put32(b, s + 36, 0x60000020); // CODE | EXECUTE | READ
    put8(b, 0x200, 0x31);         // xor eax, eax
    put8(b, 0x201, 0xC0);
    put8(b, 0x202, 0xC3); // ret
    return b;
}

// `size` zero bytes with e_lfanew set to `header_offset` (when it fits) and
// the two machine bytes `lo`, `hi` written at header_offset + 4 when they
// fit. No signature anywhere.
inline bytes header_only(std::size_t size, std::uint32_t header_offset, unsigned lo, unsigned hi)
{
    bytes b(size);
    if (size >= 0x40) {
        put32(b, 0x3C, header_offset);
    }
    const std::uint64_t at = std::uint64_t{header_offset} + 4;
    if (at + 2 <= size) {
        b[static_cast<std::size_t>(at)] = static_cast<std::byte>(lo);
        b[static_cast<std::size_t>(at) + 1] = static_cast<std::byte>(hi);
    }
    return b;
}

// Writes `content` as the whole of `file`; false when it could not.
inline bool write_file(const std::filesystem::path& file, const bytes& content)
{
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(content.data()),
              static_cast<std::streamsize>(content.size()));
    return static_cast<bool>(out);
}

} // namespace isi386::test
