#pragma once
/// Arrow buffers crossing the Python boundary without copies: views of what Python hands in,
/// and read-only buffer objects over memory the native side built.

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

namespace kestrix::tools {

/// A read-only buffer-protocol view, released with its owner.
class HeldBuffer {
public:
    HeldBuffer() = default;
    HeldBuffer(const HeldBuffer&) = delete;
    HeldBuffer& operator=(const HeldBuffer&) = delete;
    ~HeldBuffer() {
        if (held_) PyBuffer_Release(&view_);
    }

    /// Views `object` (None: nothing); false with an exception pending when it has no buffer.
    bool take(PyObject* object) {
        if (object == Py_None) return true;
        if (PyObject_GetBuffer(object, &view_, PyBUF_SIMPLE) != 0) return false;
        held_ = true;
        return true;
    }

    [[nodiscard]] std::span<const std::uint8_t> bytes() const noexcept {
        if (!held_) return {};
        return {static_cast<const std::uint8_t*>(view_.buf), static_cast<std::size_t>(view_.len)};
    }

private:
    Py_buffer view_{};
    bool held_ = false;
};

/// A new read-only buffer object over `size` bytes at `data`, keeping a share of `owner` (the
/// memory's owner) until Arrow lets the buffer go; nullptr with an exception pending.
[[nodiscard]] PyObject* owned_buffer(std::shared_ptr<const void> owner, const void* data,
                                     std::size_t size) noexcept;

} // namespace kestrix::tools
