// Feeds arbitrary bytes to read_machine_field and checks its answer against
// a bounds rule written a second way: by subtraction from the size rather
// than by a sum in a wider type.
#include "image_probe.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::optional<std::uint16_t> expected;
    if (size >= 64) {
        const std::size_t offset = std::size_t{data[60]} | std::size_t{data[61]} << 8U |
                                   std::size_t{data[62]} << 16U | std::size_t{data[63]} << 24U;
        if (offset <= size && size - offset >= 6) {
            expected = static_cast<std::uint16_t>(data[offset + 4] | data[offset + 5] << 8U);
        }
    }
    const auto* bytes = reinterpret_cast<const std::byte*>(data);
    if (isi386::read_machine_field({bytes, size}) != expected) {
        std::abort();
    }
    return 0;
}
