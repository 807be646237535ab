#include "driver.hpp"

#include "image_probe.hpp"

#include <cstdio>

namespace isi386 {
namespace {

// `line` ends in its newline, so that an unbuffered stream writes it in one
// piece. Write errors are ignored: they never change the status.
void write_line(std::FILE* stream, const char* line)
{
    static_cast<void>(std::fputs(line, stream));
    static_cast<void>(std::fflush(stream));
}

} // namespace

int run(const path_char* const* argv)
{
    // The vector ends at its first null entry: with no program name there
    // is no argument 1 to read either.
    const path_char* const path = argv[0] != nullptr ? argv[1] : nullptr;
    if (path == nullptr || path[0] == 0) {
        write_line(stderr, "No file given\n");
        return status_no_file_given;
    }

    const file_handle file = open_file(path);
    if (file == no_file) {
        write_line(stderr, "Failed to open file\n");
        return status_open_failed;
    }

    const mapping_handle mapping = create_mapping(file);
    if (mapping == no_mapping) {
        write_line(stderr, "Could not map file\n");
        close_file(file);
        return status_map_file_failed;
    }

    const file_view view = map_view(file, mapping);
    if (view.data() == nullptr) {
        write_line(stderr, "Could not map view\n");
        close_file(file);
        close_mapping(mapping);
        return status_map_view_failed;
    }

    // A file too short to hold the header offset and the machine field
    // declares no machine, so it is not an Intel 386 image: "0".
    std::optional<std::uint16_t> machine;
    if (!read_view(read_machine_field, file, view, machine)) {
        write_line(stderr, "Could not map view\n");
        close_file(file);
        close_mapping(mapping);
        unmap_view(view);
        return status_map_view_failed;
    }

    close_file(file);
    close_mapping(mapping);
    unmap_view(view);

    if (machine == IMAGE_FILE_MACHINE_I386) {
        write_line(stdout, "1\n");
        return status_i386;
    }
    write_line(stdout, "0\n");
    return status_other_machine;
}

} // namespace isi386
