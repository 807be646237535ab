// Writes the bundled sample images, or with --check compares the ones in a
// directory against what it would write; with --corpus, the fuzzer's seeds.
//
//   make_samples DIR           write DIR/x86.exe and DIR/x64.exe
//   make_samples --check DIR   exit 1 unless both match byte for byte
//   make_samples --corpus DIR  write the seed corpus of fuzz_image_probe
#include "image_bytes.hpp"

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

namespace {

using isi386::test::bytes;

bool same_as(const std::filesystem::path& file, const bytes& content)
{
    std::ifstream in(file, std::ios::binary);
    const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    return text.size() == content.size() &&
           std::memcmp(text.data(), content.data(), content.size()) == 0;
}

} // namespace

int main(int argc, char** argv)
{
    const bool check = argc == 3 && std::strcmp(argv[1], "--check") == 0;
    const bool corpus = argc == 3 && std::strcmp(argv[1], "--corpus") == 0;
    if (argc != 2 && !check && !corpus) {
        static_cast<void>(std::fputs("usage: make_samples [--check | --corpus] DIR\n", stderr));
        return 2;
    }
    using isi386::test::header_only;
    const std::filesystem::path dir = argv[argc - 1];
    std::vector<std::pair<const char*, bytes>> files = {
        {"x86.exe", isi386::test::pe_image(0x014C)},
        {"x64.exe", isi386::test::pe_image(isi386::test::machine_amd64)},
    };
    if (corpus) {
        // The layouts at the edges of the bounds rule.
        files.insert(files.end(), {
                                      {"offset-zero", header_only(0x40, 0, 0x4C, 0x01)},
                                      {"field-in-offset", header_only(64, 58, 0, 0)},
                                      {"exact-fit", header_only(0x46, 0x40, 0x4C, 0x01)},
                                      {"one-byte-short", header_only(0x45, 0x40, 0, 0)},
                                      {"wraps-32-bits", header_only(0x80, 0xFFFFFFFC, 0, 0)},
                                      {"63-bytes", bytes(63)},
                                  });
    }
    int status = 0;
    for (const auto& [name, content] : files) {
        if (check ? !same_as(dir / name, content)
                  : !isi386::test::write_file(dir / name, content)) {
            static_cast<void>(
                std::fprintf(stderr, "%s: %s\n", (dir / name).string().c_str(),
                             check ? "differs from the generator's image" : "cannot be written"));
            status = 1;
        }
    }
    return status;
}
