// A FUSE file system whose files fail on purpose, so that the faults a
// mapped read can meet happen every time instead of in a race:
//   faultfs MOUNTPOINT
// (in the foreground, one thread; SIGTERM unmounts it). It holds two files:
//   unreadable.exe  8 KiB, every read fails with EIO: the size still holds
//                   the header, but its page can never be brought in.
//   shrinking.exe   2 MiB, e_lfanew 1 MiB, machine 0x014C; the first read
//                   after an open returns only its first 4 KiB, and the file
//                   is 4 KiB from then on, until it is closed. A short read
//                   is end of file to the kernel, which cuts the file's size
//                   under any view of it: the field's page is then gone.
#define FUSE_USE_VERSION 31
#include <fuse.h>

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <string_view>

namespace {

constexpr off_t page = 4096;
constexpr off_t unreadable_size = 2 * page;
constexpr off_t shrinking_size = 2 << 20;
constexpr off_t shrinking_header = 1 << 20;
bool cut = false; // shrinking.exe has lost all but its first page

off_t size_of(std::string_view path)
{
    if (path == "/unreadable.exe") {
        return unreadable_size;
    }
    if (path == "/shrinking.exe") {
        return cut ? page : shrinking_size;
    }
    return -1;
}

// The byte of shrinking.exe at `at`: e_lfanew at 0x3C, Machine at e_lfanew + 4.
char shrinking_byte(off_t at)
{
    const auto header = static_cast<unsigned long>(shrinking_header);
    if (at >= 0x3C && at < 0x40) {
        return static_cast<char>(header >> (8 * (at - 0x3C)) & 0xFFU);
    }
    if (at == shrinking_header + 4 || at == shrinking_header + 5) {
        return at == shrinking_header + 4 ? '\x4C' : '\x01';
    }
    return 0;
}

int get_attributes(const char* path, struct stat* st, fuse_file_info* /*file*/)
{
    *st = {};
    if (std::strcmp(path, "/") == 0) {
        st->st_mode = S_IFDIR | 0755;
        st->st_nlink = 2;
        return 0;
    }
    const off_t size = size_of(path);
    if (size < 0) {
        return -ENOENT;
    }
    st->st_mode = S_IFREG | 0444;
    st->st_nlink = 1;
    st->st_size = size;
    return 0;
}

int open_file(const char* path, fuse_file_info* file)
{
    if (size_of(path) < 0) {
        return -ENOENT;
    }
    // A new open starts whole, with nothing of an earlier run in the cache.
    cut = false;
    file->keep_cache = 0;
    return 0;
}

int release_file(const char* /*path*/, fuse_file_info* /*file*/)
{
    cut = false;
    return 0;
}

int read_file(const char* path, char* buffer, size_t size, off_t at, fuse_file_info* /*file*/)
{
    if (std::strcmp(path, "/shrinking.exe") != 0) {
        return -EIO;
    }
    // Whatever was asked for, nothing past the first page comes back.
    cut = true;
    off_t n = 0;
    for (; n < static_cast<off_t>(size) && at + n < page; ++n) {
        buffer[n] = shrinking_byte(at + n);
    }
    return static_cast<int>(n);
}

int read_directory(const char* /*path*/, void* buffer, fuse_fill_dir_t fill, off_t /*at*/,
                   fuse_file_info* /*file*/, fuse_readdir_flags /*flags*/)
{
    for (const char* name : {".", "..", "unreadable.exe", "shrinking.exe"}) {
        fill(buffer, name, nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    }
    return 0;
}

void* start(fuse_conn_info* /*connection*/, fuse_config* config)
{
    // Every stat and fstat asks again, so the size seen is the size now.
    config->attr_timeout = 0;
    config->entry_timeout = 0;
    config->negative_timeout = 0;
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
    operations.readdir = read_directory;
    operations.init = start;
    char* args[] = {argv[0],
                    const_cast<char*>("-f"),
                    const_cast<char*>("-s"),
                    const_cast<char*>("-o"),
                    const_cast<char*>("fsname=isi386-faultfs"),
                    argv[1],
                    nullptr};
    return fuse_main(6, args, &operations, nullptr);
}
