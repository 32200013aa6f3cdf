#pragma once
/// Thrift's compact protocol, the encoding of every Parquet page header and file footer: only
/// the writing side, and only the value types Parquet's metadata uses.

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace kestrix::tools {

/// Compact-protocol type codes (in field headers and list headers).
enum class ThriftType : std::uint8_t {
    True = 1, ///< a boolean field's header carries its value
    False = 2,
    Byte = 3,
    I16 = 4,
    I32 = 5,
    I64 = 6,
    Double = 7,
    Binary = 8,
    List = 9,
    Set = 10,
    Map = 11,
    Struct = 12,
};

/// Appends a Thrift structure to a byte vector, field by field: fields of a structure must come
/// in increasing id order (the header stores the difference to the previous one).
class ThriftWriter {
public:
    explicit ThriftWriter(std::vector<std::uint8_t>& out) : out_(out) {}

    void field_i32(int id, std::int32_t value) {
        header(id, ThriftType::I32);
        varint(zigzag(value));
    }
    void field_i64(int id, std::int64_t value) {
        header(id, ThriftType::I64);
        varint(zigzag(value));
    }
    void field_i16(int id, std::int16_t value) {
        header(id, ThriftType::I16);
        varint(zigzag(value));
    }
    void field_byte(int id, std::int8_t value) {
        header(id, ThriftType::Byte);
        out_.push_back(static_cast<std::uint8_t>(value));
    }
    void field_bool(int id, bool value) {
        header(id, value ? ThriftType::True : ThriftType::False);
    }
    void field_binary(int id, std::span<const std::uint8_t> value) {
        header(id, ThriftType::Binary);
        binary(value);
    }
    void field_string(int id, std::string_view value) {
        field_binary(id, {reinterpret_cast<const std::uint8_t*>(value.data()), value.size()});
    }

    /// A structure field: its fields follow, then end_struct().
    void begin_struct(int id) {
        header(id, ThriftType::Struct);
        begin_nested();
    }
    /// A list field of `size` elements of `element`; structures in it start with
    /// begin_element() and end with end_struct().
    void begin_list(int id, ThriftType element, std::size_t size) {
        header(id, ThriftType::List);
        list_header(element, size);
    }
    void begin_element() { begin_nested(); }
    void end_struct() {
        out_.push_back(0); // stop
        last_id_ = stack_.back();
        stack_.pop_back();
    }
    void element_i32(std::int32_t value) { varint(zigzag(value)); }
    void element_binary(std::span<const std::uint8_t> value) { binary(value); }
    void element_string(std::string_view value) {
        binary({reinterpret_cast<const std::uint8_t*>(value.data()), value.size()});
    }

    /// Ends the outermost structure (the one being written when the writer was made).
    void end() { out_.push_back(0); }

private:
    static std::uint64_t zigzag(std::int64_t value) noexcept {
        return (static_cast<std::uint64_t>(value) << 1) ^ static_cast<std::uint64_t>(value >> 63);
    }
    void varint(std::uint64_t value);
    void header(int id, ThriftType type);
    void list_header(ThriftType element, std::size_t size);
    void binary(std::span<const std::uint8_t> value);
    void begin_nested() {
        stack_.push_back(last_id_);
        last_id_ = 0;
    }

    std::vector<std::uint8_t>& out_;
    int last_id_ = 0;
    std::vector<int> stack_;
};

} // namespace kestrix::tools
