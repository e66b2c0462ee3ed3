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

void ColumnReader::open(PyObject* frame, std::initializer_list<PyObject*> columns, Py_ssize_t slice_rows) {
    if (columns.size() > kMaxColumns) raise(PyExc_SystemError, "too many columns for ColumnReader");
    column_count_ = 0;
    for (PyObject* column : columns) columns_[column_count_++] = column;
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
    slice_rows_ = -1;
    for (size_t i = 0; i < column_count_; ++i) {
        Ref series = call_method(slice.get(), n.get_column, columns_[i]);
        lists_[i] = call_method(series.get(), n.to_list);
        if (!PyList_CheckExact(lists_[i].get())) raise(PyExc_TypeError, "a column's to_list() did not give a list");
        Py_ssize_t rows = PyList_GET_SIZE(lists_[i].get());
        if (rows == 0 || (slice_rows_ != -1 && rows != slice_rows_))
            raise(PyExc_ValueError, "the columns of a frame slice differ in length");
        slice_rows_ = rows;
    }
}

PyObject* ColumnReader::value(PyObject* column) const {
    for (size_t i = 0; i < column_count_; ++i)
        if (columns_[i] == column) return PyList_GET_ITEM(lists_[i].get(), row_);
    return nullptr;
}

}  // namespace quorvel
