// One column of a polars frame read where polars keeps it, through the Arrow C stream interface
// every Series exports (its __arrow_c_stream__ method): an Int64 or Float64 column as its
// values, a String column as the bytes of each value. A column is read this way only when it has no nulls
// and comes in a layout read here; the caller reads it otherwise (to_list).
#pragma once

#include "call.hpp"

#include <cstdint>
#include <string_view>
#include <vector>

namespace quorvel {

// The structures of the Arrow C data interface, laid out as the interface defines them.
struct ArrowSchema {
    const char* format;
    const char* name;
    const char* metadata;
    int64_t flags;
    int64_t n_children;
    ArrowSchema** children;
    ArrowSchema* dictionary;
    void (*release)(ArrowSchema*);
    void* private_data;
};

struct ArrowArray {
    int64_t length;
    int64_t null_count;
    int64_t offset;
    int64_t n_buffers;
    int64_t n_children;
    const void** buffers;
    ArrowArray** children;
    ArrowArray* dictionary;
    void (*release)(ArrowArray*);
    void* private_data;
};

struct ArrowArrayStream {
    int (*get_schema)(ArrowArrayStream*, ArrowSchema*);
    int (*get_next)(ArrowArrayStream*, ArrowArray*);
    const char* (*get_last_error)(ArrowArrayStream*);
    void (*release)(ArrowArrayStream*);
    void* private_data;
};

class ArrowColumn {
public:
    enum class Kind { Int64, Float64, Text };

    ArrowColumn() = default;
    ~ArrowColumn() { close(); }
    ArrowColumn(const ArrowColumn&) = delete;
    ArrowColumn& operator=(const ArrowColumn&) = delete;

    // Takes the chunks `series` exports, when they are of `kind` without nulls in a layout read
    // here: true then; false otherwise, keeping nothing and setting no error. Throws only for
    // an error of the export itself.
    bool open(PyObject* series, Kind kind);
    bool is_open() const { return open_; }
    int64_t rows() const { return rows_; }
    void close();

    // The value of `row`, counted from the series' first; rows are read in ascending order.
    int64_t int64(int64_t row) { return static_cast<const int64_t*>(locate(row).values)[position_]; }
    double float64(int64_t row) { return static_cast<const double*>(locate(row).values)[position_]; }
    std::string_view text(int64_t row);

private:
    struct Chunk {
        ArrowArray array;
        int64_t first_row;   // of the series
        const void* values;  // int64 values, int32 or int64 offsets, or the views
    };

    // The chunk holding `row`; position_ becomes the row's index in its buffers.
    const Chunk& locate(int64_t row) {
        while (row >= current_end()) ++current_;
        const Chunk& chunk = chunks_[current_];
        position_ = chunk.array.offset + (row - chunk.first_row);
        return chunk;
    }
    int64_t current_end() const { return chunks_[current_].first_row + chunks_[current_].array.length; }

    // A value of a layout with offsets: its bytes run from its offset to the next one.
    template <class Offset>
    std::string_view offset_text(const Offset* offsets, const Chunk& chunk) const {
        const char* bytes = static_cast<const char*>(chunk.array.buffers[2]);
        return {bytes + offsets[position_], static_cast<size_t>(offsets[position_ + 1] - offsets[position_])};
    }
    bool take(ArrowArray& array, int64_t first_row);

    std::vector<Chunk> chunks_;  // plain structs: released by close()
    char layout_ = 0;  // 'l' int64, 'g' float64, 'u' int32 offsets, 'U' int64 offsets, 'v' views
    bool open_ = false;
    int64_t rows_ = 0;
    size_t current_ = 0;
    int64_t position_ = 0;
};

}  // namespace quorvel
