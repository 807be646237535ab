// Writes the bundled sample images, or with --check compares the ones in a
// directory against what it would write.
//
//   make_samples DIR          write DIR/x86.exe and DIR/x64.exe
//   make_samples --check DIR  exit 1 unless both match byte for byte
#include "image_bytes.hpp"

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace {

using isi386::test::bytes;

bool same_as(const std::filesystem::path& file, const bytes& content)
{
    std::ifstream in(file, std::ios::binary);
    const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    return text.size() == content.size() &&
           std::memcmp(text.data(), content.data(), content.size()) == 0;
}

bool write(const std::filesystem::path& file, const bytes& content)
{
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(content.data()),
              static_cast<std::streamsize>(content.size()));
    return static_cast<bool>(out);
}

} // namespace

int main(int argc, char** argv)
{
    const bool check = argc == 3 && std::strcmp(argv[1], "--check") == 0;
    if (argc != 2 && !check) {
        std::fputs("usage: make_samples [--check] DIR\n", stderr);
        return 2;
    }
    const std::filesystem::path dir = argv[argc - 1];
    const std::pair<const char*, bytes> samples[] = {
        {"x86.exe", isi386::test::pe_image(0x014C)},
        {"x64.exe", isi386::test::pe_image(isi386::test::machine_amd64)},
    };
    int status = 0;
    for (const auto& [name, content] : samples) {
        if (check ? !same_as(dir / name, content) : !write(dir / name, content)) {
            std::fprintf(stderr, "%s: %s\n", (dir / name).string().c_str(),
                         check ? "differs from the generator's image" : "cannot be written");
            status = 1;
        }
    }
    return status;
}
