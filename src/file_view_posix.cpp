// POSIX half of the platform layer: open(2), fstat(2) and mmap(2).
#include "file_view.hpp"

#include <csetjmp>
#include <csignal>
#include <cstdint>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace isi386 {

file_handle open_file(const path_char* path)
{
    // O_NONBLOCK: a FIFO without a writer must not hang the open; O_NOCTTY:
    // a terminal device must never become our controlling terminal.
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        return no_file;
    }
    // A directory opens for reading here, but it names no file to examine.
    struct stat st {};
    if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        ::close(fd);
        return no_file;
    }
    return fd;
}

mapping_handle create_mapping(file_handle file)
{
    // Only a regular file has a size that says how much can be mapped; a
    // FIFO, a device or an empty file cannot be mapped as a whole.
    struct stat st {};
    if (::fstat(file, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= 0) {
        return no_mapping;
    }
    // Some file systems refuse mmap for a regular file (sysfs answers
    // ENODEV). Ask with one page so that such a refusal is told apart from
    // a whole-file view that does not fit the address space.
    void* const page = ::mmap(nullptr, 1, PROT_READ, MAP_SHARED, file, 0);
    if (page == MAP_FAILED) {
        return no_mapping;
    }
    ::munmap(page, 1);
    return static_cast<mapping_handle>(st.st_size);
}

file_view map_view(file_handle file, mapping_handle mapping)
{
    // `mapping` is the file's size, which on a 32-bit system may exceed
    // what a view can span.
    if (mapping > SIZE_MAX) {
        return {};
    }
    const auto size = static_cast<std::size_t>(mapping);
    // Lazily mapped: only the pages the reader touches are ever read in.
    void* const data = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, file, 0);
    if (data == MAP_FAILED) {
        return {};
    }
    return {static_cast<const std::byte*>(data), size};
}

void close_file(file_handle file)
{
    ::close(file);
}

void close_mapping(mapping_handle /*mapping*/)
{
    // Nothing is held between the mapping check and the view.
}

void unmap_view(file_view view)
{
    // munmap takes a non-const pointer; the pages were mapped PROT_READ and
    // nothing is written through it.
    ::munmap(const_cast<std::byte*>(view.data()), view.size());
}

namespace {

// The signal guard's state: where to resume when a read of the view faults.
// Set only while read_view runs.
sigjmp_buf* volatile resume_at = nullptr;

extern "C" void on_bus_error(int signal)
{
    if (resume_at != nullptr) {
        siglongjmp(*resume_at, 1);
    }
    // A fault outside a guarded read is not ours to answer: let the
    // faulting access happen again with the default action.
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    ::sigaction(signal, &fallback, nullptr);
}

} // namespace

std::optional<std::uint16_t> read_view(view_reader read, file_view view)
{
    // A page of the view that lies wholly past the file's current end
    // raises SIGBUS when touched; the file may have been truncated by
    // another process since it was mapped. The handler stays installed
    // after the read, but disarmed: one sigaction per run instead of two.
    sigjmp_buf jump;
    struct sigaction guard {};
    guard.sa_handler = on_bus_error;
    // SA_NODEFER keeps SIGBUS unblocked after the jump, so the signal mask
    // need not be saved and restored around the read.
    guard.sa_flags = SA_NODEFER;
    sigemptyset(&guard.sa_mask);
    resume_at = &jump;
    // Installed before sigsetjmp, so that nothing the jump returns to was
    // changed after the jump buffer was filled.
    ::sigaction(SIGBUS, &guard, nullptr);
    if (sigsetjmp(jump, 0) != 0) {
        resume_at = nullptr;
        return std::nullopt;
    }
    const std::optional<std::uint16_t> machine = read(view);
    resume_at = nullptr;
    return machine;
}

} // namespace isi386
