// Chosen columns of a polars DataFrame read row by row from Python lists: each slice of rows is
// converted once, one to_list call per column, instead of a dict built per row. A frame is read
// this way only when it is exactly a DataFrame and its columns have the types the caller expects.
#pragma once

#include "call.hpp"

#include <initializer_list>
#include <utility>

namespace quorvel {

class ColumnReader {
public:
    static constexpr size_t kMaxColumns = 8;
    static constexpr Py_ssize_t kSliceRows = 512;  // rows converted at a time, unless told otherwise

    // Whether `frame` is exactly `frame_type` and has every (column, dtype) pair, the dtypes
    // compared with ==.
    static bool suits(PyObject* frame, PyObject* frame_type,
                      std::initializer_list<std::pair<PyObject*, PyObject*>> columns);

    ColumnReader() = default;  // reads nothing until opened
    ColumnReader(const ColumnReader&) = delete;
    ColumnReader& operator=(const ColumnReader&) = delete;

    // Reads `columns` (interned names, kept by the caller) of `frame` from its first row,
    // `slice_rows` rows converted at a time; the row count is taken now, as a row iterator takes
    // it when it starts.
    void open(PyObject* frame, std::initializer_list<PyObject*> columns, Py_ssize_t slice_rows = kSliceRows);
    bool is_open() const { return static_cast<bool>(frame_); }

    // Moves to the next row; false after the last.
    bool next();

    // The current row's value of `column` (borrowed), or nullptr when it is not one of the
    // columns read.
    PyObject* value(PyObject* column) const;

private:
    void convert_slice();

    Ref frame_;
    PyObject* columns_[kMaxColumns] = {};
    size_t column_count_ = 0;
    Ref lists_[kMaxColumns];
    Py_ssize_t height_ = 0;
    Py_ssize_t rows_per_slice_ = kSliceRows;
    Py_ssize_t slice_start_ = 0;
    Py_ssize_t slice_rows_ = 0;
    Py_ssize_t row_ = -1;  // in the current slice
};

}  // namespace quorvel
