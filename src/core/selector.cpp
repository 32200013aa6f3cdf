#include "core/selector.hpp"

#include "core/keccak.hpp"

#include <algorithm>
#include <array>

namespace kestrix::core {

Selector selector_of(std::string_view signature) noexcept {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(signature.data());
    const Digest digest = keccak256({bytes, signature.size()});
    return {digest[0], digest[1], digest[2], digest[3]};
}

void selectors_of(std::span<const std::string_view> signatures,
                  std::span<Selector> selectors) noexcept {
    const std::size_t count = std::min(signatures.size(), selectors.size());
    // Four at a time: the digests of four short signatures cost about as much as one.
    for (std::size_t first = 0; first < count; first += 4) {
        const std::size_t group = std::min<std::size_t>(4, count - first);
        std::array<std::span<const std::uint8_t>, 4> views;
        for (std::size_t k = 0; k < group; ++k) {
            const std::string_view text = signatures[first + k];
            views[k] = {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
        }
        std::array<Digest, 4> digests;
        keccak256_many(std::span(views).first(group), std::span(digests).first(group));
        for (std::size_t k = 0; k < group; ++k) {
            const Digest& digest = digests[k];
            selectors[first + k] = {digest[0], digest[1], digest[2], digest[3]};
        }
    }
}

std::string selector_hex(const Selector& selector) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out(8, '0');
    for (std::size_t i = 0; i < 4; ++i) {
        out[2 * i] = kDigits[selector[i] >> 4];
        out[2 * i + 1] = kDigits[selector[i] & 0xf];
    }
    return out;
}

std::string format_selector(const Selector& selector) {
    return "0x" + selector_hex(selector);
}

} // namespace kestrix::core
