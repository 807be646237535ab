// A FUSE file system whose files fail on purpose, so that the faults a
// mapped read can meet happen every time instead of in a race:
//   faultfs MOUNTPOINT      (in the foreground; SIGTERM unmounts it)
//   unreadable.exe  8 KiB; every read fails (EIO), though the size holds
//                   the header.
//   shrinking.exe   8 KiB, e_lfanew 0xFFC: Machine is the first two bytes of
//                   the second page. A read returns nothing past the first
//                   page, and from the first read to the next open or close
//                   the file is that page long. The kernel takes the short
//                   read for the end of the file and cuts its size under any
//                   view: the file now ends exactly at the field.
//   cut_in_page.exe 256 bytes read as if cut to 16 (0x4C 0x01 at offset 4,
//                   zeros after), and 16 long from then on: no fault.
//   direct.exe      a 32-bit x86 image served with direct_io (no shared mmap).
//   refused.exe     the same image; a process's first open of it is refused
//                   (EACCES), its second let through, as if the name were
//                   looked up again and found a readable file.
//   via-LIE.exe     a symlink to lying-LIE.exe (the same image), and to
//                   ../fifo once the liar has lied and been looked up again.
//   lying-LIE.exe   lies to a process once, as `lies` says, or at its
//                   fstatfs ("fstatfs") with an old kernel's EBADF.
// Mounted with allow_other, so that nobody can be sent there too.
#define FUSE_USE_VERSION 31
#include <fuse.h>

#include <algorithm>
#include <cerrno>
#include <functional>
#include <string>
#include <string_view>

namespace {

constexpr off_t page = 4096;
bool cut = false;
pid_t refused_for = 0; // the process whose open of refused.exe was refused last
pid_t asker = 0;       // the process the liars' state is for
int stats = 0;         // its stats of a liar since it last read a link to one
bool lied = false;     // a liar has lied to it
bool turned = false;   // and been looked up since: the links lead to the FIFO

// The stat of a liar, counted since the process last read a link to it
// (the first is the lookup), at which it lies, and how: 0 for another inode.
struct lie {
    std::string_view name;
    int at;
    int error;
};
constexpr lie lies[] = {
    {"/lying-fstat.exe", 2, -EBADF},   // the fstat, as an old kernel's
    {"/lying-enoent.exe", 3, -ENOENT}, // the link's in /proc/self/fd
    {"/lying-inode.exe", 3, 0},        // the same
    {"/lying-reopened.exe", 4, 0},     // the reopened file's
};

void ask()
{
    if (fuse_get_context()->pid != asker) {
        asker = fuse_get_context()->pid;
        stats = 0;
        lied = turned = false;
    }
}

off_t size_of(std::string_view path)
{
    if (path == "/unreadable.exe") {
        return 2 * page;
    }
    if (path == "/cut_in_page.exe") {
        return cut ? 16 : 256;
    }
    if (path == "/direct.exe" || path == "/refused.exe" || path.starts_with("/lying-")) {
        return 0x46;
    }
    return path == "/shrinking.exe" ? (cut ? page : 2 * page) : -1;
}

// e_lfanew and Machine, little-endian, where each readable file has them.
char byte_at(std::string_view path, off_t at)
{
    const auto in = [at](off_t field, unsigned value) {
        return at >= field && at < field + 4 ? value >> (8 * (at - field)) : 0U;
    };
    const unsigned value = path == "/shrinking.exe" ? in(0x3C, 0xFFC)
                           : size_of(path) == 0x46  ? in(0x3C, 0x40) | in(0x44, 0x014C)
                                                    : in(4, 0x014C);
    return static_cast<char>(value & 0xFFU);
}

int get_attributes(const char* path, struct stat* st, fuse_file_info* /*file*/)
{
    *st = {};
    st->st_nlink = 1;
    if (std::string_view(path) == "/") {
        st->st_mode = S_IFDIR | 0755;
        return 0;
    }
    const std::string_view name(path);
    if (name.starts_with("/via-")) {
        st->st_mode = S_IFLNK | 0777;
        return 0;
    }
    st->st_mode = S_IFREG | 0444;
    st->st_size = size_of(path);
    st->st_ino = std::hash<std::string_view>{}(name); // use_ino
    if (!name.starts_with("/lying-") || st->st_size < 0) {
        return st->st_size < 0 ? -ENOENT : 0;
    }
    ask();
    ++stats;
    turned = lied; // looked up again after the lie
    for (const lie& l : lies) {
        if (!lied && name == l.name && stats == l.at) {
            lied = true;
            st->st_ino += l.error == 0 ? 1U : 0U;
            return l.error;
        }
    }
    return 0;
}

// Only the via-*.exe files are links.
int read_link(const char* path, char* target, size_t size)
{
    const std::string_view name(path);
    ask();
    stats = 0;
    const std::string to = turned ? "../fifo" : "lying-" + std::string(name.substr(5));
    target[to.copy(target, size - 1)] = 0;
    return 0;
}

int file_system(const char* path, struct statvfs* /*fs*/)
{
    if (std::string_view(path) != "/lying-fstatfs.exe") {
        return 0;
    }
    ask();
    lied = true;
    return -EBADF;
}

int open_file(const char* path, fuse_file_info* file)
{
    // Whole again, with nothing of an earlier run in the kernel's cache.
    cut = false;
    file->keep_cache = 0;
    file->direct_io = std::string_view(path) == "/direct.exe" ? 1 : 0;
    if (std::string_view(path) == "/refused.exe") {
        const pid_t asking = fuse_get_context()->pid;
        refused_for = refused_for == asking ? 0 : asking;
        return refused_for == asking ? -EACCES : 0;
    }
    return size_of(path) >= 0 ? 0 : -ENOENT;
}

int release_file(const char* /*path*/, fuse_file_info* /*file*/)
{
    cut = false;
    return 0;
}

int read_file(const char* path, char* buffer, size_t size, off_t at, fuse_file_info* /*file*/)
{
    if (std::string_view(path) == "/unreadable.exe") {
        return -EIO;
    }
    // The whole file as it was opened, but never past the first page.
    const off_t end = std::min(size_of(path), page);
    cut = true;
    off_t n = 0;
    for (; n < static_cast<off_t>(size) && at + n < end; ++n) {
        buffer[n] = byte_at(path, at + n);
    }
    return static_cast<int>(n);
}

void* start(fuse_conn_info* /*connection*/, fuse_config* config)
{
    // Every stat and fstat asks again, so the size seen is the size now.
    config->attr_timeout = 0;
    config->entry_timeout = 0;
    config->use_ino = 1;
    return nullptr;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        return 2;
    }
    fuse_operations operations{};
    operations.getattr = get_attributes;
    operations.open = open_file;
    operations.release = release_file;
    operations.read = read_file;
    operations.readlink = read_link;
    operations.statfs = file_system;
    operations.init = start;
    char foreground[] = "-f";
    char one_thread[] = "-s";
    char others[] = "-oallow_other";
    char* args[] = {argv[0], foreground, one_thread, others, argv[1], nullptr};
    return fuse_main(5, args, &operations, nullptr);
}
