// POSIX half of the platform layer: open(2), fstat(2) and mmap(2).
#include "file_view.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <charconv>
#include <csetjmp>
#include <csignal>
#include <cstdint>
#include <optional>

#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#ifdef __linux__
#include <sys/vfs.h>
#endif

namespace isi386 {
namespace {

#ifdef __linux__
constexpr std::uint32_t procfs = 0x9fa0; // PROC_SUPER_MAGIC

// Kernel file systems, by the f_type numbers of linux/magic.h or, where it
// has none, of the kernel's sources (written out: older headers lack
// some). Their regular files hold no stored data: the bytes are made when
// read, and reading or opening some acts on the system.
constexpr auto kernel_file_systems = std::to_array<std::uint32_t>({
    0x62656572, // sysfs: attributes, some a device's registers
    procfs,     // the kernel's and each process's state
    0x64626720, // debugfs: drivers' state and controls
    0x74726163, // tracefs: the tracer's state and controls
    0x27e0eb,   // cgroup v1: control groups' state and controls
    0x63677270, // cgroup v2: the same
    0x73636673, // securityfs: security modules' state and policies
    0x62656570, // configfs: kernel objects made by their folders
    0xcafe4a11, // bpf: pinned BPF programs and maps
    0xde5e81e4, // efivarfs: UEFI variables, read from the firmware
    0x6165676c, // pstore: crash records, read from the firmware or flash
    0xf97cff8c, // selinuxfs: SELinux's state and policy
    0x43415d53, // smackfs: Smack's rules
    0x5a3c69f0, // apparmorfs: AppArmor's state and policies
    0x07655821, // resctrl: cache and memory bandwidth allocation
    0x42494e4d, // binfmt_misc: program formats and their interpreters
    0x65735543, // fusectl: FUSE connections; "abort" acts on one
    0x6e736673, // nsfs: namespaces
    0x19800202, // mqueue: POSIX message queues; reading gives a queue's state
    0x67596969, // rpc_pipefs: the kernel's RPC upcalls to user space daemons
    0x6e667364, // nfsd: the NFS server's controls, made when read
    0x76a9f425, // ocfs2 dlmfs: cluster locks, taken by an open
    0x687970,   // s390 hypfs: hypervisor data, read from the hypervisor
    0x0a647361, // USB functionfs: a gadget's endpoints
    0xaee71ee7, // USB gadgetfs: the same
    0xabba1974, // xenfs: the Xen hypervisor's interfaces
    0x23c9b64e, // Cell spufs: a synergistic processor's memory and registers
    0x9fa1,     // openpromfs: firmware properties, read from the firmware
    0x66726f67, // ibmasmfs: an IBM service processor's controls
    0x726a77,   // qibfs (ipathfs): QLogic InfiniBand counters, made when read
    0x6c6f6f70, // binderfs: Android binder devices and their logs
});

// f_type is a long on most 64-bit systems, an int on 32-bit ones and on
// s390x: the numbers fit in 32 bits everywhere.
std::uint32_t type_of(const struct statfs& fs)
{
    return static_cast<std::uint32_t>(fs.f_type);
}
#endif

// Whether `fd` lies on a kernel file system (sysfs offers some of their
// files for mmap); std::nullopt when its file system cannot say.
std::optional<bool> on_kernel_file_system(int fd)
{
#ifdef __linux__
    struct statfs fs {};
    if (::fstatfs(fd, &fs) != 0) {
        return std::nullopt;
    }
    return std::ranges::find(kernel_file_systems, type_of(fs)) != kernel_file_systems.end();
#else
    static_cast<void>(fd);
    return false;
#endif
}

// What `st` describes: a directory cannot be opened (no_file); anything but
// a regular file of stored data is named but never opened; `fd` otherwise.
file_handle classify(const struct stat& st, bool kernel_file_system, int fd)
{
    if (S_ISDIR(st.st_mode)) {
        return no_file;
    }
    return S_ISREG(st.st_mode) && !kernel_file_system ? fd : unopened_special_file;
}

// O_NONBLOCK: should a FIFO still be opened, it must not hang the open;
// O_NOCTTY: a terminal must never become our controlling terminal.
constexpr int read_flags = O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;

#ifdef __linux__
bool same_file(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// The name of descriptor `fd` in /proc/self/fd. Not std::string: a static
// program would take in, and relocate at every start, much of the C++
// library for it.
std::array<char, 16> name_of(int fd)
{
    std::array<char, 16> name{};
    std::to_chars(name.data(), &name.back(), fd);
    return name;
}

// This process's descriptor table, /proc/self/fd, as an O_PATH descriptor;
// -1 where no file can be reopened through it, and the path is to be
// looked up twice instead. That is learnt from the kernel's own files
// before the path is looked up, never from the file it leads to, whose
// file system may answer anything. It is so where /proc is missing, a
// plain folder (a chroot, an unpacked root file system) or a procfs that
// is not ours (one of another pid namespace, as after nsenter -m; another
// process's folder mounted over ours), and on kernels that answer no fstat
// (before 3.6) or fstatfs (before 3.12) on an O_PATH descriptor.
int own_descriptors()
{
    const int table = ::open("/proc/self/fd", O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (table < 0) {
        return -1;
    }
    // Only in our own table does the table's own entry name the table.
    struct statfs fs {};
    struct stat st {};
    struct stat entry {};
    if (::fstatfs(table, &fs) != 0 || type_of(fs) != procfs || ::fstat(table, &st) != 0 ||
        ::fstatat(table, name_of(table).data(), &entry, 0) != 0 || !same_file(st, entry)) {
        ::close(table);
        return -1;
    }
    return table;
}

// The file that `named`, an O_PATH descriptor, names: reopened for reading
// through `table` if it is a regular file of stored data, or what classify
// makes of it. An O_PATH descriptor opens nothing (no FIFO partner, no
// device driver), and the reopen opens that very file, whatever the path
// names by then. Every failure, and another file found in its place, is
// the answer: looking the path up again would give whatever is swapped in
// meanwhile the chance to be opened.
file_handle reopen(int table, int named)
{
    struct stat st {};
    const std::optional<bool> kernel_file_system = on_kernel_file_system(named);
    if (::fstat(named, &st) != 0 || !kernel_file_system.has_value()) {
        return no_file;
    }
    const file_handle file = classify(st, *kernel_file_system, named);
    if (file != named) {
        return file;
    }
    // stat follows the link without opening what it names: it must be the
    // file looked up before it is opened, and is checked again after.
    const std::array<char, 16> name = name_of(named);
    struct stat linked {};
    if (::fstatat(table, name.data(), &linked, 0) != 0 || !same_file(linked, st)) {
        return no_file;
    }
    const int fd = ::openat(table, name.data(), read_flags);
    struct stat opened {};
    if (fd >= 0 && (::fstat(fd, &opened) != 0 || !same_file(opened, st))) {
        ::close(fd);
        return no_file;
    }
    return fd < 0 ? no_file : fd;
}
#endif

} // namespace

file_handle open_file(const path_char* path)
{
    // Only a regular file is ever opened. Opening a FIFO releases a writer
    // blocked on it, whose data is then lost; opening a device can act on
    // it (a watchdog arms, a tape rewinds on close). Symlinks are followed.
#ifdef __linux__
    if (const int table = own_descriptors(); table >= 0) {
        // One lookup of the path, and never another.
        const int named = ::open(path, O_PATH | O_CLOEXEC);
        const file_handle file = named >= 0 ? reopen(table, named) : no_file;
        if (named >= 0) {
            ::close(named);
        }
        ::close(table);
        return file;
    }
#endif
    // Off Linux, or where no file can be reopened, the path is looked up
    // twice, by stat and by open, and what it names may change in between.
    // The type is checked again on the descriptor, but a FIFO or device
    // swapped in meanwhile has been opened by then.
    struct stat before {};
    if (::stat(path, &before) != 0 || S_ISDIR(before.st_mode)) {
        return no_file;
    }
    if (!S_ISREG(before.st_mode)) {
        return unopened_special_file;
    }
    const int fd = ::open(path, read_flags);
    if (fd < 0) {
        return no_file;
    }
    struct stat after {};
    const file_handle checked = ::fstat(fd, &after) == 0
                                    ? classify(after, on_kernel_file_system(fd).value_or(true), fd)
                                    : no_file;
    if (checked != fd) {
        ::close(fd);
    }
    return checked;
}

mapping_handle create_mapping(file_handle file)
{
    // A regular file's size says how much can be mapped; an empty file
    // cannot be mapped as a whole.
    struct stat st {};
    if (file == unopened_special_file || ::fstat(file, &st) != 0 || st.st_size <= 0) {
        return no_mapping;
    }
    // Some file systems refuse mmap for a regular file. Ask with one page so
    // that such a refusal is told apart from a whole-file view that does not
    // fit the address space. MAP_PRIVATE: FUSE's direct_io refuses a shared
    // mapping (ENODEV) but not a private one, and nothing is ever written.
    void* const page = ::mmap(nullptr, 1, PROT_READ, MAP_PRIVATE, file, 0);
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
    void* const data = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, file, 0);
    if (data == MAP_FAILED) {
        return {};
    }
    return {static_cast<const std::byte*>(data), size};
}

void close_file(file_handle file)
{
    if (file != unopened_special_file) {
        ::close(file);
    }
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

// The guard's state, set only while read_view runs: the view's bounds, where
// to resume, and what was there before. A fault is ours only while
// `resume_at` is set and only at an address inside the view.
sigjmp_buf* volatile resume_at = nullptr;
const std::byte* volatile guarded_data = nullptr;
volatile std::size_t guarded_size = 0;
volatile std::size_t fault_offset = 0;
pthread_t guarded_thread{};
struct sigaction previous_bus {};
struct sigaction previous_segv {};

extern "C" void on_fault(int signal, siginfo_t* info, void* /*context*/)
{
    // By subtraction, so an address below the view wraps to a large offset.
    const std::uintptr_t offset = reinterpret_cast<std::uintptr_t>(info->si_addr) -
                                  reinterpret_cast<std::uintptr_t>(guarded_data);
    // si_code > 0: the kernel raised it for an access. A signal another
    // process sent (si_code <= 0) carries whatever address it was given. A
    // fault of another thread cannot resume on the guarding thread's stack.
    if (resume_at != nullptr && info->si_code > 0 && offset < guarded_size &&
        ::pthread_equal(::pthread_self(), guarded_thread) != 0) {
        fault_offset = offset;
        sigjmp_buf* const resume = resume_at;
        resume_at = nullptr;
        siglongjmp(*resume, 1);
    }
    // Not ours: put back what was there before. A faulting access then
    // happens again under that action; a signal that was sent is raised
    // again, and arrives once this handler returns.
    ::sigaction(signal, signal == SIGBUS ? &previous_bus : &previous_segv, nullptr);
    if (info->si_code <= 0) {
        static_cast<void>(::raise(signal));
    }
}

} // namespace

bool read_view(view_reader read, file_handle file, file_view view,
               std::optional<std::uint16_t>& machine)
{
    // A page of the view past the file's current end raises SIGBUS when
    // touched (the file was truncated since it was mapped), and so does an
    // I/O error on NFS, FUSE or a failing disk. SIGSEGV is caught as well,
    // for a page that cannot be read at all. A signal blocked in the mask we
    // inherited would kill the process at the fault, whatever the handler:
    // unblock both for the read.
    sigset_t faults;
    sigset_t saved_mask;
    sigemptyset(&faults);
    sigaddset(&faults, SIGBUS);
    sigaddset(&faults, SIGSEGV);
    ::pthread_sigmask(SIG_UNBLOCK, &faults, &saved_mask);
    struct sigaction guard {};
    guard.sa_sigaction = on_fault;
    guard.sa_flags = SA_SIGINFO;
    sigemptyset(&guard.sa_mask);
    ::sigaction(SIGBUS, &guard, &previous_bus);
    ::sigaction(SIGSEGV, &guard, &previous_segv);

    bool faulted = false;
    std::uint64_t end = 0;
    sigjmp_buf jump;
    // Saving the mask: the handler runs with its signal blocked, and the
    // jump out of it must unblock it again.
    if (sigsetjmp(jump, 1) == 0) {
        guarded_data = view.data();
        guarded_size = view.size();
        guarded_thread = ::pthread_self();
        resume_at = &jump; // armed only now that the jump buffer is filled
        // No load from the view may move out of the armed window, even
        // with the reader inlined.
        std::atomic_signal_fence(std::memory_order_seq_cst);
        machine = read(view, end);
        std::atomic_signal_fence(std::memory_order_seq_cst);
        resume_at = nullptr;
    } else {
        faulted = true;
    }

    ::sigaction(SIGBUS, &previous_bus, nullptr);
    ::sigaction(SIGSEGV, &previous_segv, nullptr);
    ::pthread_sigmask(SIG_SETMASK, &saved_mask, nullptr);

    struct stat st {};
    const bool sized = ::fstat(file, &st) == 0 && st.st_size >= 0;
    return settle_read(sized ? std::optional(static_cast<std::uint64_t>(st.st_size)) : std::nullopt,
                       faulted, fault_offset, end, machine);
}

} // namespace isi386
