// The platform layer: the three steps that give a read-only view of a whole
// file, the three releases, and a read of that view that survives a fault.
//
// Each acquisition returns its own failure value (`no_file`, `no_mapping`, a
// view whose data() is null), so the caller tests it right after the call.
// No platform header is included here: this header sits beside
// image_probe.hpp, and winnt.h would turn IMAGE_FILE_MACHINE_I386 into a macro.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace isi386 {

#ifdef _WIN32
using path_char = wchar_t;
using file_handle = void*;    // HANDLE from CreateFileW
using mapping_handle = void*; // HANDLE from CreateFileMappingW
// INVALID_HANDLE_VALUE and NULL, spelt without <windows.h>.
inline file_handle const no_file = reinterpret_cast<file_handle>(static_cast<std::intptr_t>(-1));
inline mapping_handle const no_mapping = nullptr;
// A device (a serial port, a console, a pipe), which open_file names without
// opening it and create_mapping refuses. CreateFileW never returns NULL.
inline file_handle const unopened_special_file = nullptr;
#else
using path_char = char;
using file_handle = int; // file descriptor
// POSIX has no mapping object; this step checks that the file can be mapped
// as a whole and yields its size, which is never 0 for a mappable file.
using mapping_handle = std::uint64_t;
inline constexpr file_handle no_file = -1;
// A FIFO, socket or device, or a file of a kernel file system (sysfs, procfs),
// which open_file names without opening it and create_mapping refuses.
inline constexpr file_handle unopened_special_file = -2;
inline constexpr mapping_handle no_mapping = 0;
#endif

// The bytes of the whole file, mapped read-only; data() is null on failure.
using file_view = std::span<const std::byte>;

// Opens an existing file for reading. A directory is refused here; a device,
// or on POSIX any file that is not a regular one, is left unopened and
// refused at the mapping.
file_handle open_file(const path_char* path);

// Prepares a read-only mapping of the whole file. An empty file, or one
// that is no regular file on a disk, cannot be mapped.
mapping_handle create_mapping(file_handle file);

// Maps the whole file for reading; fails when it does not fit in the
// process's free address space.
file_view map_view(file_handle file, mapping_handle mapping);

void close_file(file_handle file);
void close_mapping(mapping_handle mapping);
void unmap_view(file_view view);

// The machine field reader's signature (see image_probe.hpp): it also tells
// one past the farthest byte it read.
using view_reader = std::optional<std::uint16_t> (*)(std::span<const std::byte>, std::uint64_t&);

// Runs read(view) and stores its result in `machine`. Reading a mapped file
// can fault: on POSIX when another process has truncated the file since it
// was mapped, on Windows when its pages cannot be brought in (a network or
// removable file that fails). Only a fault the system raised at an address
// inside the view, in the reading thread, during the read, is caught; any
// other fault, and any signal another process sent, acts as it would have.
//
// After the read the file's size is looked at again. A file cut since it was
// mapped may raise no fault: the bytes past its new end that share a page
// with bytes before it read as zeros. So the answer stands only if the file
// still holds every byte read; if not, `machine` is std::nullopt, as for a
// file too short to hold the field. After a caught fault the same holds
// for the byte that faulted; if the file still holds it, the view could not
// be read, and the result is false. So it is when the size cannot be had.
bool read_view(view_reader read, file_handle file, file_view view,
               std::optional<std::uint16_t>& machine);

// The last step of read_view on every platform, once the file's size has
// been looked at again (std::nullopt when it could not be had): `end` is one
// past the farthest byte read, `fault_offset` the byte that faulted if any.
inline bool settle_read(std::optional<std::uint64_t> size, bool faulted, std::uint64_t fault_offset,
                        std::uint64_t end, std::optional<std::uint16_t>& machine)
{
    if (faulted) {
        // Shrunk when the file no longer holds the byte that faulted.
        machine = std::nullopt;
        return size.has_value() && *size <= fault_offset;
    }
    if (size.has_value() && *size < end) {
        machine = std::nullopt;
    }
    return size.has_value();
}

} // namespace isi386
