#include "bars.hpp"

#include <algorithm>
#include <cmath>

namespace quorvel::replay {

namespace {

int64_t as_int64(PyObject* number) {
    long long value = PyLong_AsLongLong(number);
    if (value == -1 && PyErr_Occurred()) throw_error_set();
    return value;
}

}  // namespace

double as_double(PyObject* number) {
    if (PyFloat_CheckExact(number)) return PyFloat_AS_DOUBLE(number);
    double value = PyFloat_AsDouble(number);
    if (value == -1.0 && PyErr_Occurred()) throw_error_set();
    return value;
}

BarBuilder::BarBuilder(const BarNames& names, double seconds, PyObject* session_span)
    : names_(names),
      seconds_(seconds),
      session_span_(Ref::borrow(session_span)),
      indexes_(new_dict()),
      codes_(new_list()),
      next_due_(kInfinity) {}

Ref BarBuilder::take_due(double moment) {
    std::vector<size_t> due;
    for (size_t index = 0; index < building_.size(); ++index)
        if (building_[index].is_open && building_[index].due <= moment) due.push_back(index);
    // The codes are exact str (add checks), whose comparison cannot fail.
    std::sort(due.begin(), due.end(), [&](size_t a, size_t b) {
        if (building_[a].start != building_[b].start) return building_[a].start < building_[b].start;
        return PyUnicode_Compare(PyList_GET_ITEM(codes_.get(), a), PyList_GET_ITEM(codes_.get(), b)) < 0;
    });
    Ref bars = new_list();
    for (size_t index : due) {
        check_status(PyList_Append(bars.get(), bar_dict(index).get()));
        building_[index].is_open = false;
    }
    next_due_ = kInfinity;
    for (const Building& bar : building_)
        if (bar.is_open) next_due_ = std::min(next_due_, bar.due);
    return bars;
}

Ref BarBuilder::take_all() {
    Ref bars = take_due(kInfinity);
    for (Building& bar : building_) {
        bar.origin = kInfinity;
        bar.span_due = -kInfinity;
    }
    return bars;
}

void BarBuilder::add(PyObject* code, double moment, PyObject* price_number, PyObject* volume_number,
                     bool is_backfilling) {
    double price = as_double(price_number);
    int64_t volume = as_int64(volume_number);
    size_t index = index_of(code);
    if (building_[index].is_open) {
        Building& bar = building_[index];
        if (moment < bar.start || moment >= bar.due)
            raise(PyExc_RuntimeError, "a tick came out of time order, or before the bars due at its moment were taken");
        bar.high = std::max(bar.high, price);
        bar.low = std::min(bar.low, price);
        bar.close = price;
        bar.volume += volume;
        ++bar.ticks;
        return;
    }
    if (!(building_[index].origin <= moment && moment < building_[index].span_due))
        enter_span(index, moment);
    Building& bar = building_[index];
    bar.start = bar.origin + std::floor((moment - bar.origin) / seconds_) * seconds_;
    // Where rounding put the moment outside its interval, the neighbouring one holds it.
    if (bar.start > moment) bar.start -= seconds_;
    if (bar.start + seconds_ <= moment) bar.start += seconds_;
    bar.end = bar.start + seconds_;
    bar.due = std::min(bar.end, bar.span_due);
    bar.open = bar.high = bar.low = bar.close = price;
    bar.volume = volume;
    bar.ticks = 1;
    bar.is_backfilling = is_backfilling;
    bar.is_open = true;
    next_due_ = std::min(next_due_, bar.due);
}

size_t BarBuilder::index_of(PyObject* code) {
    PyObject* found = PyDict_GetItemWithError(indexes_.get(), code);
    if (found != nullptr) return PyLong_AsSize_t(found);
    if (PyErr_Occurred()) throw_error_set();
    if (!PyUnicode_CheckExact(code)) raise(PyExc_TypeError, "a tick's code must be a str to build its bars");
    Ref index = Ref::steal(PyLong_FromSize_t(building_.size()));
    building_.emplace_back();
    check_status(PyList_Append(codes_.get(), code));
    setitem(indexes_.get(), code, index.get());
    return building_.size() - 1;
}

void BarBuilder::enter_span(size_t index, double moment) {
    PyObject* code = PyList_GET_ITEM(codes_.get(), index);
    Ref when = new_float(moment);
    Ref span = call(session_span_.get(), code, when);
    if (!PyTuple_CheckExact(span.get()) || PyTuple_GET_SIZE(span.get()) != 2)
        raise(PyExc_TypeError, "session_span(code, moment) must give a tuple (origin, due)");
    double origin = as_double(PyTuple_GET_ITEM(span.get(), 0));
    double due = as_double(PyTuple_GET_ITEM(span.get(), 1));
    if (!(origin <= moment && moment < due)) {
        PyErr_Format(PyExc_ValueError, "session_span(%R, %R) gave %R, a span that does not hold the moment", code,
                     when.get(), span.get());
        throw_error_set();
    }
    building_[index].origin = origin;
    building_[index].span_due = due;
}

Ref BarBuilder::bar_dict(size_t index) const {
    const Building& bar = building_[index];
    Ref dict = new_dict(10);
    setitem(dict.get(), names_.code, PyList_GET_ITEM(codes_.get(), index));
    setitem(dict.get(), names_.start, new_float(bar.start).get());
    setitem(dict.get(), names_.end, new_float(bar.end).get());
    setitem(dict.get(), names_.open, new_float(bar.open).get());
    setitem(dict.get(), names_.high, new_float(bar.high).get());
    setitem(dict.get(), names_.low, new_float(bar.low).get());
    setitem(dict.get(), names_.close, new_float(bar.close).get());
    setitem(dict.get(), names_.volume, Ref::steal(PyLong_FromLongLong(static_cast<long long>(bar.volume))).get());
    setitem(dict.get(), names_.ticks, Ref::steal(PyLong_FromLongLong(static_cast<long long>(bar.ticks))).get());
    setitem(dict.get(), names_.is_backfilling, bar.is_backfilling ? Py_True : Py_False);
    return dict;
}

}  // namespace quorvel::replay
