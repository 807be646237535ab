// Reads the machine type a PE/COFF image declares in its COFF file header.
//
// Pure: no I/O and no platform headers, so it builds and tests the same
// everywhere. <windows.h> must stay out of any file that includes this one:
// winnt.h defines IMAGE_FILE_MACHINE_I386 as a macro.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace isi386 {

// Intel 386 and compatible processors, the PE/COFF machine value 0x014C.
inline constexpr std::uint16_t IMAGE_FILE_MACHINE_I386 = 0x014C;

// The machine field of the image held in `file` (the whole file, from its
// first byte): the 16-bit little-endian value at e_lfanew + 4, where e_lfanew
// is the 32-bit little-endian value at offset 0x3C. Nothing else is read or
// judged: no "MZ" or "PE\0\0" signature check.
//
// Returns std::nullopt when the file is too short to hold either field; no
// byte outside `file` is ever read.
std::optional<std::uint16_t> read_machine_field(std::span<const std::byte> file);

// The same, and sets `end` to one past the farthest byte it read, so that the
// caller can tell whether the file still holds every byte the answer came
// from.
std::optional<std::uint16_t> read_machine_field(std::span<const std::byte> file,
                                                std::uint64_t& end);

} // namespace isi386
