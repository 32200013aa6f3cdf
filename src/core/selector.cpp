#include "core/selector.hpp"

#include "core/keccak.hpp"

namespace kestrix::core {

Selector selector_of(std::string_view signature) noexcept {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(signature.data());
    const Digest digest = keccak256({bytes, signature.size()});
    return {digest[0], digest[1], digest[2], digest[3]};
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
