#include "arrow_column.hpp"

#include "shared_state.hpp"

#include <cstring>

namespace quorvel {

namespace {

constexpr const char* kStreamCapsule = "arrow_array_stream";

// The layout a format string of the C data interface names, for a column of `kind`; 0 for one
// not read here.
char layout_of(const char* format, ArrowColumn::Kind kind) {
    std::string_view name = format != nullptr ? format : "";
    if (kind == ArrowColumn::Kind::Int64) return name == "l" ? 'l' : 0;
    if (kind == ArrowColumn::Kind::Float64) return name == "g" ? 'g' : 0;
    if (name == "u") return 'u';
    if (name == "U") return 'U';
    if (name == "vu") return 'v';
    return 0;
}

// A stream moved out of its capsule, released when it goes.
class OwnedStream {
public:
    explicit OwnedStream(ArrowArrayStream* source) : stream_(*source) { source->release = nullptr; }
    ~OwnedStream() {
        if (stream_.release != nullptr) stream_.release(&stream_);
    }
    OwnedStream(const OwnedStream&) = delete;
    OwnedStream& operator=(const OwnedStream&) = delete;

    // The format of the stream's arrays, or 0 when the schema cannot be read.
    char layout(ArrowColumn::Kind kind) {
        ArrowSchema schema{};
        if (stream_.get_schema(&stream_, &schema) != 0) return 0;
        char found = schema.n_children == 0 && schema.dictionary == nullptr ? layout_of(schema.format, kind) : 0;
        if (schema.release != nullptr) schema.release(&schema);
        return found;
    }

    enum class Next { Array, End, Failed };

    // The next array into `array`, or the stream's end, or its failure.
    Next next(ArrowArray& array) {
        array = ArrowArray{};
        if (stream_.get_next(&stream_, &array) != 0) return Next::Failed;
        return array.release != nullptr ? Next::Array : Next::End;
    }

private:
    ArrowArrayStream stream_;
};

// Whether an array of `layout` has its number of buffers: the validity bitmap, then the values;
// the offsets and the bytes; or the views, the data buffers and their sizes.
bool buffers_fit(const ArrowArray& array, char layout) {
    if (layout == 'l' || layout == 'g') return array.n_buffers == 2;
    if (layout == 'v') return array.n_buffers >= 2;
    return array.n_buffers == 3;
}

}  // namespace

bool ArrowColumn::open(PyObject* series, Kind kind) {
    close();
    Ref export_stream = Ref::steal_or_null(PyObject_GetAttr(series, shared_names().arrow_c_stream));
    if (!export_stream) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_error_set();
        PyErr_Clear();
        return false;
    }
    Ref capsule = call(export_stream.get());
    if (!PyCapsule_IsValid(capsule.get(), kStreamCapsule)) return false;
    auto* source = static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(capsule.get(), kStreamCapsule));
    if (source == nullptr || source->release == nullptr) return false;
    OwnedStream stream(source);
    layout_ = stream.layout(kind);
    if (layout_ == 0) return false;
    int64_t rows = 0;
    ArrowArray array;
    for (OwnedStream::Next got; (got = stream.next(array)) != OwnedStream::Next::End;) {
        // A stream that fails part way is read by the caller's other way, which reports the error;
        // the failed call gave no array to release.
        if (got == OwnedStream::Next::Failed || !take(array, rows)) {
            if (got == OwnedStream::Next::Array) array.release(&array);
            close();
            return false;
        }
        rows += array.length;
    }
    rows_ = rows;
    open_ = true;
    return true;
}

bool ArrowColumn::take(ArrowArray& array, int64_t first_row) {
    bool without_nulls = array.null_count == 0 || (array.null_count < 0 && array.buffers[0] == nullptr);
    if (!without_nulls || array.n_children != 0 || array.dictionary != nullptr || !buffers_fit(array, layout_))
        return false;
    if (array.length == 0) {
        array.release(&array);
        return true;
    }
    chunks_.push_back(Chunk{array, first_row, array.buffers[1]});
    return true;
}

void ArrowColumn::close() {
    for (Chunk& chunk : chunks_)
        if (chunk.array.release != nullptr) chunk.array.release(&chunk.array);
    chunks_.clear();
    open_ = false;
    rows_ = 0;
    current_ = 0;
}

std::string_view ArrowColumn::text(int64_t row) {
    const Chunk& chunk = locate(row);
    if (layout_ == 'u') return offset_text(static_cast<const int32_t*>(chunk.values), chunk);
    if (layout_ == 'U') return offset_text(static_cast<const int64_t*>(chunk.values), chunk);
    // A view: its length, then up to 12 bytes in place, or a 4-byte prefix, the index of the
    // data buffer and the offset in it.
    const char* view = static_cast<const char*>(chunk.values) + position_ * 16;
    int32_t length, buffer, offset;
    std::memcpy(&length, view, sizeof length);
    if (length <= 12) return {view + 4, static_cast<size_t>(length)};
    std::memcpy(&buffer, view + 8, sizeof buffer);
    std::memcpy(&offset, view + 12, sizeof offset);
    return {static_cast<const char*>(chunk.array.buffers[2 + buffer]) + offset, static_cast<size_t>(length)};
}

}  // namespace quorvel
