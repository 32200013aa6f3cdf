#include "tools/arrow_decode_call.hpp"

#include "python/internal_failure.hpp"
#include "python/py_ref.hpp"
#include "python/raise_error.hpp"
#include "tools/arrow_decode.hpp"
#include "tools/decoder_type.hpp"
#include "tools/python_buffers.hpp"

#include <array>
#include <atomic>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace kestrix::tools {

namespace {

using python::PyRef;

/// Buffers of finished decodes kept for the next decodes: their memory is already mapped, so a
/// stream of batches does not pay the kernel for fresh pages every time. A few, each of bounded
/// size, so that little memory stays held. `Spare` is DecodedColumns (columns whose arrays are
/// gone) or DecodeMemo (memos of decodes called without one, emptied).
template <class Spare>
class SparePool {
public:
    static constexpr std::size_t kMaxKept = 4;
    static constexpr std::size_t kMaxBytes = std::size_t{64} << 20;

    Spare take() {
        const std::lock_guard lock(mutex_);
        if (spares_.empty()) return {};
        Spare spare = std::move(spares_.back());
        spares_.pop_back();
        return spare;
    }

    void give(Spare&& spare) noexcept {
        if (spare.capacity() > kMaxBytes) return;
        const std::lock_guard lock(mutex_);
        if (spares_.size() < kMaxKept) spares_.push_back(std::move(spare));
    }

private:
    std::mutex mutex_;
    std::vector<Spare> spares_ = [] {
        std::vector<Spare> reserved;
        reserved.reserve(kMaxKept);
        return reserved;
    }();
};

/// Never destroyed: buffers may be released by Python after static destructors have run.
SparePool<DecodedColumns>& spare_columns() {
    static auto* spares = new SparePool<DecodedColumns>;
    return *spares;
}

SparePool<DecodeMemo>& spare_memos() {
    static auto* spares = new SparePool<DecodeMemo>;
    return *spares;
}

constexpr const char* kMemoName = "kestrix_tools._native.DecodeMemo";

/// A memo bound to the decoder it was made for, which it keeps alive: its rows hold that decoder's
/// results. `busy` keeps a second thread from using it at the same time.
struct MemoHandle {
    explicit MemoHandle(PyObject* owned_decoder) noexcept : decoder(owned_decoder) {}

    PyObject* decoder; // a strong reference (None for the built-in errors)
    std::atomic<bool> busy{false};
    DecodeMemo memo;
};

void free_memo(PyObject* capsule) noexcept {
    auto* handle = static_cast<MemoHandle*>(PyCapsule_GetPointer(capsule, kMemoName));
    if (handle == nullptr) return;
    Py_DECREF(handle->decoder);
    delete handle;
}

/// The built-in errors, built once: a memo for them outlives any one call.
const core::ErrorRegistry& builtin_registry() {
    static const core::RegistryHandle* handle =
        new core::RegistryHandle(core::BuiltinErrorRegistry::build());
    return **handle;
}

/// A buffer over one output column's memory, owning a share of the whole decode so that Arrow
/// wraps the columns where they were built instead of copying them.
PyRef buffer_of(const std::shared_ptr<const DecodedColumns>& owner, const void* data,
                std::size_t size) {
    return PyRef(owned_buffer(owner, data, size));
}

/// (null_count, validity, offsets or values, data or None) of one output column.
PyRef column_tuple(const std::shared_ptr<const DecodedColumns>& owner,
                   const ArrowColumnOutput& column, bool text) {
    PyRef nulls(PyLong_FromLongLong(column.null_count));
    PyRef validity = buffer_of(owner, column.validity.data(), column.validity.size());
    PyRef first =
        text ? buffer_of(owner, column.offsets.data(), column.offsets.size() * sizeof(std::int32_t))
             : buffer_of(owner, column.data.data(), column.data.size());
    PyRef second =
        text ? buffer_of(owner, column.data.data(), column.data.size()) : PyRef::borrow(Py_None);
    if (!nulls || !validity || !first || !second) return {};
    return PyRef(PyTuple_Pack(4, nulls.get(), validity.get(), first.get(), second.get()));
}

PyObject* columns_to_list(std::shared_ptr<const DecodedColumns> decoded,
                          const ColumnChoice& choice) {
    PyRef list(PyList_New(0));
    if (!list) return nullptr;
    PyRef rows = column_tuple(decoded, decoded->rows, false);
    if (!rows || PyList_Append(list.get(), rows.get()) != 0) return nullptr;
    for (std::size_t i = 0; i < kResultColumns; ++i) {
        const auto column = static_cast<ResultColumn>(i);
        if (!choice.filled(column)) continue;
        const bool text = column != ResultColumn::Confidence && column != ResultColumn::PanicCode &&
                          column != ResultColumn::Depth;
        if (column == ResultColumn::RawData && decoded->raw_repeats_input) {
            // The caller builds it from the input's own buffers.
            if (PyList_Append(list.get(), Py_None) != 0) return nullptr;
            continue;
        }
        const auto outer = decoded->roots_repeat_outer ? outer_of_root(column) : std::nullopt;
        const std::size_t at = outer ? static_cast<std::size_t>(*outer) : i;
        PyRef entry = column_tuple(decoded, decoded->columns[at], text);
        if (!entry || PyList_Append(list.get(), entry.get()) != 0) return nullptr;
    }
    return list.release();
}

/// The name of each kind of result, by the index of its alternative in core::ErrorKind.
template <std::size_t... Index>
std::array<std::string_view, sizeof...(Index)> kind_names(std::index_sequence<Index...>) {
    return {core::kind_name(core::ErrorKind(std::in_place_index<Index>))...};
}

/// ({kind: rows}, rows not hexadecimal, null rows, whether a row is nested) of a decode.
PyObject* summary_of(const DecodedColumns& decoded) {
    static const auto names =
        kind_names(std::make_index_sequence<std::variant_size_v<core::ErrorKind>>());
    PyRef kinds(PyDict_New());
    if (!kinds) return nullptr;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (decoded.kind_rows[i] == 0) continue;
        PyRef rows(PyLong_FromLongLong(decoded.kind_rows[i]));
        PyRef name(
            PyUnicode_FromStringAndSize(names[i].data(), static_cast<Py_ssize_t>(names[i].size())));
        if (!rows || !name || PyDict_SetItem(kinds.get(), name.get(), rows.get()) != 0) {
            return nullptr;
        }
    }
    // Each row's memo row (four bytes, native order) and the memo's numbering of its rows: what
    // kestrix's Parquet writer needs to encode a value once per memo row.
    PyRef memo_rows(PyBytes_FromStringAndSize(
        reinterpret_cast<const char*>(decoded.memo_rows.data()),
        static_cast<Py_ssize_t>(decoded.memo_rows.size() * sizeof(std::uint32_t))));
    if (!memo_rows) return nullptr;
    return Py_BuildValue("(OLLOKO)", kinds.get(), static_cast<long long>(decoded.failed_rows),
                         static_cast<long long>(decoded.null_rows),
                         decoded.nested ? Py_True : Py_False,
                         static_cast<unsigned long long>(decoded.memo_numbering), memo_rows.get());
}

PyObject* decode_arrow_body(PyObject* const* args, Py_ssize_t nargs) {
    if (nargs < 9 || nargs > 11) {
        PyErr_SetString(PyExc_TypeError, "decode_arrow() takes 9 to 11 arguments");
        return nullptr;
    }
    ColumnChoice choice;
    const core::ErrorRegistry* registry = nullptr;
    if (args[0] == Py_None) {
        registry = &builtin_registry();
    } else {
        registry = native_decoder_registry(args[0]);
        choice.wrappers = native_decoder_wrappers(args[0]);
    }
    if (registry == nullptr) {
        PyErr_SetString(PyExc_TypeError,
                        "decode_arrow() needs a kestrix_tools._native.Decoder or None");
        return nullptr;
    }
    MemoHandle* handle = nullptr;
    if (nargs == 11 && args[10] != Py_None) {
        handle = static_cast<MemoHandle*>(PyCapsule_GetPointer(args[10], kMemoName));
        if (handle == nullptr) return nullptr;
        if (handle->decoder != args[0]) {
            PyErr_SetString(PyExc_ValueError,
                            "decode_arrow(): the memo was made for another decoder");
            return nullptr;
        }
    }
    ArrowColumnInput input;
    input.length = PyLong_AsLongLong(args[1]);
    if (input.length == -1 && PyErr_Occurred()) return nullptr;
    input.offset = PyLong_AsLongLong(args[2]);
    if (input.offset == -1 && PyErr_Occurred()) return nullptr;
    HeldBuffer validity;
    HeldBuffer offsets;
    HeldBuffer data;
    if (args[3] != Py_None && !validity.take(args[3])) return nullptr;
    if (!offsets.take(args[4]) || !data.take(args[5])) return nullptr;
    const int binary = PyObject_IsTrue(args[6]);
    const int large = PyObject_IsTrue(args[7]);
    const int error_column = PyObject_IsTrue(args[8]);
    const int root_cause = nargs >= 10 ? PyObject_IsTrue(args[9]) : 0;
    if (binary < 0 || large < 0 || error_column < 0 || root_cause < 0) return nullptr;
    choice.error = error_column != 0;
    choice.root_cause = root_cause != 0;
    input.validity = validity.bytes();
    input.offsets = offsets.bytes();
    input.data = data.bytes();
    input.binary = binary != 0;
    input.large_offsets = large != 0;

    // The decode touches no Python object: other threads run meanwhile. The views and the
    // decoder (held by the caller's arguments) stay alive until it returns.
    std::optional<std::expected<DecodedColumns, ColumnFailure>> decoded;
    std::exception_ptr failure;
    // A memo in use by another thread is left alone: this decode keeps one of its own.
    const bool own_memo = handle == nullptr || handle->busy.exchange(true);
    Py_BEGIN_ALLOW_THREADS try {
        DecodeMemo spare_memo = own_memo ? spare_memos().take() : DecodeMemo{};
        decoded.emplace(decode_arrow_column(*registry, input, choice,
                                            own_memo ? spare_memo : handle->memo,
                                            spare_columns().take()));
        if (own_memo) {
            spare_memo.forget(); // a later decode may use another registry at the same address
            spare_memos().give(std::move(spare_memo));
        }
    } catch (...) {
        failure = std::current_exception();
    }
    if (!own_memo) handle->busy.store(false);
    Py_END_ALLOW_THREADS if (failure) std::rethrow_exception(failure);
    if (!*decoded) {
        const ColumnFailure& error = decoded->error();
        const bool core = error.kind == ColumnFailure::Kind::Core;
        return python::raise_error(core ? PyExc_RuntimeError : PyExc_ValueError, error.text);
    }
    PyRef summary(summary_of(**decoded));
    if (!summary) return nullptr;
    // When Python drops the last array over them, the columns go back to the spares.
    std::shared_ptr<DecodedColumns> owner(new DecodedColumns(std::move(**decoded)),
                                          [](DecodedColumns* columns) {
                                              spare_columns().give(std::move(*columns));
                                              delete columns;
                                          });
    PyRef columns(columns_to_list(std::move(owner), choice));
    if (!columns) return nullptr;
    return PyTuple_Pack(2, columns.get(), summary.get());
}

PyObject* decode_memo_body(PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 1) {
        PyErr_SetString(PyExc_TypeError, "decode_memo() takes exactly one argument");
        return nullptr;
    }
    if (args[0] != Py_None && native_decoder_registry(args[0]) == nullptr) {
        PyErr_SetString(PyExc_TypeError,
                        "decode_memo() needs a kestrix_tools._native.Decoder or None");
        return nullptr;
    }
    auto handle = std::make_unique<MemoHandle>(Py_NewRef(args[0]));
    PyObject* capsule = PyCapsule_New(handle.get(), kMemoName, free_memo);
    if (capsule == nullptr) {
        Py_DECREF(handle->decoder);
        return nullptr;
    }
    handle.release();
    return capsule;
}

} // namespace

PyObject* decode_memo_call(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    return python::guard_entry([&]() -> PyObject* { return decode_memo_body(args, nargs); });
}

PyObject* decode_arrow_call(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    return python::guard_entry([&]() -> PyObject* { return decode_arrow_body(args, nargs); });
}

} // namespace kestrix::tools
