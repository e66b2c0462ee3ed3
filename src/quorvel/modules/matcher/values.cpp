// The prices and quantities the exchange accepts. Each method checks its values before it
// changes anything, so a refused call leaves the book and the report queue as they were.
#include "matcher_module.hpp"

#include <cmath>

namespace quorvel::matcher {

namespace {

// Raises "<label> <price> 必須是有限的數值" for a NaN or infinite price (an exact float).
void require_finite(Piece label, PyObject* price) {
    if (!std::isfinite(PyFloat_AS_DOUBLE(price))) raise_exception({label, price, " 必須是有限的數值"});
}

// Raises unless the price is finite and greater than 0.
void require_positive_price(Piece label, PyObject* price) {
    require_finite(label, price);
    if (PyFloat_AS_DOUBLE(price) <= 0) raise_exception({label, price, " 必須大於 0"});
}

// Whether qty < least, qty being an exact int (the binder refuses any other): its value decides,
// read natively unless it is too large for a long long, in which case its sign decides.
bool below(PyObject* qty, long least) {
    int overflow = 0;
    long long value = PyLong_AsLongLongAndOverflow(qty, &overflow);
    if (value == -1 && PyErr_Occurred()) throw_error_set();
    return overflow != 0 ? overflow < 0 : value < least;
}

// Raises "<label> <qty> 必須大於 0" (least 1) or "<label> <qty> 不可小於 0" (least 0).
void require_quantity_at_least(Piece label, PyObject* qty, long least) {
    if (!below(qty, least)) return;
    if (least == 0) raise_exception({label, qty, " 不可小於 0"});
    raise_exception({label, qty, " 必須大於 0"});
}

}  // namespace

void check_new_order(PyObject* price, PyObject* qty, PyObject* price_type) {
    require_quantity_at_least("委託數量 ", qty, 1);
    // A market order fills at the tick price, so its own price may be 0.
    Ref limit = getattr(global_attr(names->PriceType, names->LMT).get(), names->value);
    if (equals(price_type, limit.get())) {
        require_positive_price("限價委託的價格 ", price);
    } else {
        require_finite("委託價格 ", price);
        if (PyFloat_AS_DOUBLE(price) < 0) raise_exception({"委託價格 ", price, " 不可小於 0"});
    }
}

void check_new_price(PyObject* price) { require_positive_price("修改的價格 ", price); }

void check_tick(PyObject* tick_close, PyObject* tick_qty) {
    require_positive_price("Tick 價格 ", tick_close);
    require_quantity_at_least("Tick 數量 ", tick_qty, 0);
}

}  // namespace quorvel::matcher
