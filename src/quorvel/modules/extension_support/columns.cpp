#include "columns.hpp"

#include "shared_state.hpp"

namespace quorvel {

bool ColumnReader::suits(PyObject* frame, PyObject* frame_type,
                         std::initializer_list<std::pair<PyObject*, PyObject*>> columns) {
    if (reinterpret_cast<PyObject*>(Py_TYPE(frame)) != frame_type || columns.size() > kMaxColumns) return false;
    Ref schema = getattr(frame, shared_names().schema);
    for (const auto& [column, dtype] : columns) {
        Ref found = Ref::steal_or_null(PyObject_GetItem(schema.get(), column));
        if (!found) {
            if (!PyErr_ExceptionMatches(PyExc_KeyError)) throw_error_set();
            PyErr_Clear();
            return false;
        }
        if (!compare(found.get(), dtype, Py_EQ)) return false;
    }
    return true;
}

namespace {

ArrowColumn::Kind kind_of(ColumnReader::Column::Read read) {
    using Read = ColumnReader::Column::Read;
    if (read == Read::InPlaceInt64) return ArrowColumn::Kind::Int64;
    if (read == Read::InPlaceFloat64) return ArrowColumn::Kind::Float64;
    return ArrowColumn::Kind::Text;
}

}  // namespace

void ColumnReader::open(PyObject* frame, std::initializer_list<Column> columns, Py_ssize_t slice_rows) {
    if (columns.size() > kMaxColumns) raise(PyExc_SystemError, "too many columns for ColumnReader");
    column_count_ = 0;
    for (const Column& column : columns) {
        columns_[column_count_] = column.name;
        reads_[column_count_++] = column.read;
    }
    Ref height = getattr(frame, shared_names().height);
    height_ = PyLong_AsSsize_t(height.get());
    if (height_ == -1 && PyErr_Occurred()) throw_error_set();
    frame_ = Ref::borrow(frame);
    rows_per_slice_ = slice_rows;
    slice_start_ = slice_rows_ = 0;
    row_ = -1;
}

bool ColumnReader::next() {
    if (++row_ < slice_rows_) return true;
    slice_start_ += slice_rows_;
    if (slice_start_ >= height_) {
        row_ = slice_rows_;
        return false;
    }
    convert_slice();
    row_ = 0;
    return true;
}

void ColumnReader::convert_slice() {
    const SharedNames& n = shared_names();
    Ref start = Ref::steal(PyLong_FromSsize_t(slice_start_));
    Ref length = Ref::steal(PyLong_FromSsize_t(rows_per_slice_));
    Ref slice = call_method(frame_.get(), n.slice, start, length);
    Ref height = getattr(slice.get(), n.height);
    slice_rows_ = PyLong_AsSsize_t(height.get());
    if (slice_rows_ == -1 && PyErr_Occurred()) throw_error_set();
    if (slice_rows_ <= 0) raise(PyExc_ValueError, "a frame slice has no rows");
    for (size_t i = 0; i < column_count_; ++i) {
        Ref series = call_method(slice.get(), n.get_column, columns_[i]);
        if (reads_[i] != Column::Read::Values && in_place_[i].open(series.get(), kind_of(reads_[i]))) {
            if (in_place_[i].rows() != slice_rows_) raise(PyExc_ValueError, "the columns of a frame slice differ in length");
            lists_[i] = Ref();
            continue;
        }
        in_place_[i].close();
        lists_[i] = call_method(series.get(), n.to_list);
        if (!PyList_CheckExact(lists_[i].get())) raise(PyExc_TypeError, "a column's to_list() did not give a list");
        if (PyList_GET_SIZE(lists_[i].get()) != slice_rows_)
            raise(PyExc_ValueError, "the columns of a frame slice differ in length");
    }
}

PyObject* ColumnReader::value(PyObject* column) const {
    for (size_t i = 0; i < column_count_; ++i)
        if (columns_[i] == column) return lists_[i] ? value(i) : nullptr;
    return nullptr;
}

}  // namespace quorvel
