#include "tools/thrift_compact.hpp"

namespace kestrix::tools {

void ThriftWriter::varint(std::uint64_t value) {
    while (value >= 0x80) {
        out_.push_back(static_cast<std::uint8_t>(value | 0x80));
        value >>= 7;
    }
    out_.push_back(static_cast<std::uint8_t>(value));
}

void ThriftWriter::header(int id, ThriftType type) {
    const int delta = id - last_id_;
    if (delta > 0 && delta <= 15) {
        out_.push_back(static_cast<std::uint8_t>(delta << 4 | static_cast<int>(type)));
    } else {
        out_.push_back(static_cast<std::uint8_t>(type));
        varint(zigzag(id));
    }
    last_id_ = id;
}

void ThriftWriter::list_header(ThriftType element, std::size_t size) {
    if (size < 15) {
        out_.push_back(static_cast<std::uint8_t>(size << 4 | static_cast<int>(element)));
    } else {
        out_.push_back(static_cast<std::uint8_t>(0xF0 | static_cast<int>(element)));
        varint(size);
    }
}

void ThriftWriter::binary(std::span<const std::uint8_t> value) {
    varint(value.size());
    out_.insert(out_.end(), value.begin(), value.end());
}

} // namespace kestrix::tools
