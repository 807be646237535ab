// The tool's control flow: from the command line to one output line and an
// exit status.
#pragma once

#include "file_view.hpp"

namespace isi386 {

// Exit statuses. A verdict (0, 1) and a failure (2 to 5) never share one.
enum status : int {
    status_i386 = 0,
    status_other_machine = 1,
    status_no_file_given = 2,
    status_open_failed = 3,
    status_map_file_failed = 4,
    status_map_view_failed = 5,
};

// Examines the file named by argv[1] and returns the exit status. `argv` is
// the entry function's argument vector, ended by a null entry.
int run(const path_char* const* argv);

} // namespace isi386
