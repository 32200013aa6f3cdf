// Test driver: lowercases length-framed UTF-8 records from stdin with unicode_lower() and
// writes them back framed the same way (4-byte little-endian length, then the bytes), so a
// Python script can compare them with str.lower(). With --interactive every record is
// flushed at once, for one-at-a-time conversations.
#include "evm/unicode_lower.hpp"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

bool read_exact(void* out, std::size_t n) {
    return std::fread(out, 1, n, stdin) == n;
}

void write_record(const std::string& text) {
    const auto n = static_cast<std::uint32_t>(text.size());
    const unsigned char header[4] = {
        static_cast<unsigned char>(n), static_cast<unsigned char>(n >> 8),
        static_cast<unsigned char>(n >> 16), static_cast<unsigned char>(n >> 24)};
    std::fwrite(header, 1, 4, stdout);
    std::fwrite(text.data(), 1, text.size(), stdout);
}

} // namespace

int main(int argc, char** argv) {
    const bool interactive = argc > 1 && std::strcmp(argv[1], "--interactive") == 0;
    std::string record;
    for (;;) {
        unsigned char header[4];
        if (!read_exact(header, 4)) break;
        const std::uint32_t n = header[0] | (header[1] << 8) | (header[2] << 16) |
                                (static_cast<std::uint32_t>(header[3]) << 24);
        record.resize(n);
        if (n != 0 && !read_exact(record.data(), n)) return 2;
        write_record(kestrix::evm::unicode_lower(record));
        if (interactive) std::fflush(stdout);
    }
    return std::fflush(stdout) == 0 ? 0 : 2;
}
