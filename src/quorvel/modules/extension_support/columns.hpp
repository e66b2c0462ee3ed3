// Chosen columns of a polars DataFrame read row by row: each slice of rows is converted once,
// one to_list call per column, instead of a dict built per row; a column asked to be read in
// place (an Int64, Float64 or String column) is read where polars keeps it, when it can be
// (arrow_column.hpp), and from its list otherwise. A frame is read this way only when it is
// exactly a DataFrame and its columns have the types the caller expects.
#pragma once

#include "arrow_column.hpp"
#include "call.hpp"

#include <initializer_list>
#include <utility>

namespace quorvel {

class ColumnReader {
public:
    static constexpr size_t kMaxColumns = 10;
    static constexpr Py_ssize_t kSliceRows = 512;  // rows converted at a time, unless told otherwise

    // A column to read (an interned name, kept by the caller), and how: as Python values from
    // its list, or in place when it can be.
    struct Column {
        enum class Read { Values, InPlaceInt64, InPlaceFloat64, InPlaceText };
        Column(PyObject* column_name, Read how = Read::Values) : name(column_name), read(how) {}
        PyObject* name;
        Read read;
    };

    // Whether `frame` is exactly `frame_type` and has every (column, dtype) pair, the dtypes
    // compared with ==.
    static bool suits(PyObject* frame, PyObject* frame_type,
                      std::initializer_list<std::pair<PyObject*, PyObject*>> columns);

    ColumnReader() = default;  // reads nothing until opened
    ColumnReader(const ColumnReader&) = delete;
    ColumnReader& operator=(const ColumnReader&) = delete;

    // Reads `columns` of `frame` from its first row, `slice_rows` rows converted at a time; the
    // row count is taken now, as a row iterator takes it when it starts.
    void open(PyObject* frame, std::initializer_list<Column> columns, Py_ssize_t slice_rows = kSliceRows);
    bool is_open() const { return static_cast<bool>(frame_); }

    // Moves to the next row; false after the last.
    bool next();

    // Whether `column` is read in place for the current row's slice.
    bool in_place(size_t column) const { return in_place_[column].is_open(); }

    // The current row's value of column number `column` (in the order opened): as a Python value
    // (borrowed) when it is not read in place, else as its number or its text.
    PyObject* value(size_t column) const { return PyList_GET_ITEM(lists_[column].get(), row_); }
    int64_t int64(size_t column) { return in_place_[column].int64(row_); }
    double float64(size_t column) { return in_place_[column].float64(row_); }
    std::string_view text(size_t column) { return in_place_[column].text(row_); }

    // The current row's value of `column` (borrowed), or nullptr when it is not one of the
    // columns read as values.
    PyObject* value(PyObject* column) const;

private:
    void convert_slice();

    Ref frame_;
    Column::Read reads_[kMaxColumns] = {};
    PyObject* columns_[kMaxColumns] = {};
    size_t column_count_ = 0;
    Ref lists_[kMaxColumns];
    ArrowColumn in_place_[kMaxColumns];
    Py_ssize_t height_ = 0;
    Py_ssize_t rows_per_slice_ = kSliceRows;
    Py_ssize_t slice_start_ = 0;
    Py_ssize_t slice_rows_ = 0;
    Py_ssize_t row_ = -1;  // in the current slice
};

}  // namespace quorvel
