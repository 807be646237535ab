// Win32 half of the platform layer: CreateFileW, CreateFileMappingW and
// MapViewOfFile. This file must not include image_probe.hpp: winnt.h
// defines IMAGE_FILE_MACHINE_I386 as a macro.
#include "file_view.hpp"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstdint>

namespace isi386 {

file_handle open_file(const path_char* path)
{
    // Readers may share the file; writers and deleters are kept out while
    // it is examined, and nothing is ever created.
    return ::CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
}

mapping_handle create_mapping(file_handle file)
{
    // Maximum size 0, 0: the mapping has the file's current size. An empty
    // file cannot be mapped and fails here.
    return ::CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
}

file_view map_view(file_handle file, mapping_handle mapping)
{
    // The mapping was made at the file's size, and FILE_SHARE_READ keeps
    // anyone from changing that size while the file is open.
    LARGE_INTEGER size{};
    if (::GetFileSizeEx(file, &size) == 0 || static_cast<std::uint64_t>(size.QuadPart) > SIZE_MAX) {
        return {};
    }
    // Bytes to map 0: the view spans the whole mapping.
    const void* const data = ::MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0);
    if (data == nullptr) {
        return {};
    }
    return {static_cast<const std::byte*>(data), static_cast<std::size_t>(size.QuadPart)};
}

void close_file(file_handle file)
{
    ::CloseHandle(file);
}

void close_mapping(mapping_handle mapping)
{
    ::CloseHandle(mapping);
}

void unmap_view(file_view view)
{
    ::UnmapViewOfFile(view.data());
}

std::optional<std::uint16_t> read_view(view_reader read, file_view view)
{
    // Windows refuses to shrink a file that has a mapped view, and the
    // share mode keeps writers out, so the view cannot lose pages under us.
    return read(view);
}

} // namespace isi386
