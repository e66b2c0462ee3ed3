// Tick matching: the pending orders of one instrument against one tick's price and quantity.
#include "matcher_module.hpp"


namespace quorvel::matcher {

namespace {

// copy.deepcopy(record) with the given entries overwritten: what reports and positions receive,
// while the book keeps its own record.
Ref trade_copy(PyObject* record, std::initializer_list<std::pair<PyObject*, PyObject*>> overrides) {
    Ref trade = fast_paths::deepcopy(getattr(global(names->copy).get(), names->deepcopy).get(), record);
    for (const auto& [key, value] : overrides) setitem(trade.get(), key, value);
    return trade;
}

// The cancel report of an IOC or FOK order, for `rest_qty` (IOC) or the whole order (FOK, nullptr);
// only stock and futures orders can be cancelled.
Ref cancel_report(PyObject* self, PyObject* record, PyObject* rest_qty, PyObject* tick_ts) {
    Ref product_type = getitem(record, names->product_type);
    if (!equals(product_type.get(), names->Stock) && !equals(product_type.get(), names->Future))
        raise_exception({"不支援的商品類型"});
    Ref trade = rest_qty != nullptr
                    ? trade_copy(record, {{names->quantity, rest_qty}, {names->exchange_ts, tick_ts}})
                    : trade_copy(record, {{names->exchange_ts, tick_ts}});
    return call_in_order({method(self, names->build_order_response), trade,
                          global_attr(names->OperationType, names->CANCEL),
                          global_attr(names->SuccessCode, names->OrderBeCancel)});
}

// IOC and FOK orders leave the book at the tick that meets them, even one whose quantity the
// records before them have used up: they are then cancelled whole.
bool expires_with_the_tick(PyObject* order_type) {
    return equals(order_type, global_attr(names->OrderType, names->IOC).get()) ||
           equals(order_type, global_attr(names->OrderType, names->FOK).get());
}

// self.positions.add_trade_record, looked up before its arguments are read.
Method trade_recorder(PyObject* self) { return method(getattr(self, names->positions).get(), names->add_trade_record); }

// The records of one instrument in the book, in book order, as a walk begins: the only records a
// tick can touch, gathered without leaving C for the records of other instruments. A record
// whose "code" cannot be read ends the gathering; its error is raised once the records before it
// have been matched, where a walk reaching it would have raised it.
class InstrumentRecords {
public:
    InstrumentRecords(PyObject* book, PyObject* code) {
        try {
            if (PyList_CheckExact(book))
                gather_from_list(book, code);
            else
                gather_from_iterable(book, code);
        } catch (const PyErrorSet&) {
            deferred_error_ = SavedError::take();
        }
    }

    // Raises the error met while gathering, if any.
    void raise_deferred_error() {
        if (deferred_error_) deferred_error_.raise();
    }

    // A list rather than a container of Ref: a standard container's destructor is noexcept.
    Ref records = new_list();

private:
    // The common book: a list of dicts whose codes are str, read without reference traffic;
    // anything else goes through code_matches with the record held.
    void gather_from_list(PyObject* book, PyObject* code) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(book); ++i) {
            PyObject* record = PyList_GET_ITEM(book, i);
            PyObject* record_code = PyDict_CheckExact(record) ? PyDict_GetItemWithError(record, names->code) : nullptr;
            if (record_code != nullptr && PyUnicode_CheckExact(record_code) && PyUnicode_CheckExact(code) &&
                str_ready(record_code) && str_ready(code)) {
                if (str_equals(record_code, code)) append(record);
                continue;
            }
            if (PyErr_Occurred()) throw_error_set();
            Ref held = Ref::borrow(record);
            if (code_matches(held.get(), code)) append(held.get());
        }
    }

    void gather_from_iterable(PyObject* book, PyObject* code) {
        Ref iterator = Ref::steal(PyObject_GetIter(book));
        while (Ref record = Ref::steal_or_null(PyIter_Next(iterator.get())))
            if (code_matches(record.get(), code)) append(record.get());
        if (PyErr_Occurred()) throw_error_set();
    }

    void append(PyObject* record) { check_status(PyList_Append(records.get(), record)); }

    static bool code_matches(PyObject* record, PyObject* code) {
        return equals(getitem(record, names->code).get(), code);
    }

    SavedError deferred_error_;
};

// Where a list book still holds a record: the walk's records keep their book order, so the search
// starts where the previous one ended; a record taken out behind the walk (by a collaborator
// calling back into the matcher) is not found and not visited.
class BookCursor {
public:
    explicit BookCursor(PyObject* book) : book_(book) {}

    bool holds(PyObject* record) {
        if (!PyList_CheckExact(book_)) return true;
        Py_ssize_t size = PyList_GET_SIZE(book_);
        for (Py_ssize_t i = 0; i < size; ++i) {
            Py_ssize_t index = (position_ + i) % size;
            if (PyList_GET_ITEM(book_, index) == record) {
                position_ = index;
                return true;
            }
        }
        return false;
    }

private:
    PyObject* book_;
    Py_ssize_t position_ = 0;
};

// One tick against one record, as the steps of the walk go: price test, order type, fill, cancel.
class RecordMatch {
public:
    RecordMatch(PyObject* self, PyObject* record, PyObject* tick_close, PyObject* tick_ts, PyObject* zero)
        : self_(self), record_(record), tick_close_(tick_close), tick_ts_(tick_ts), zero_(zero),
          deal_qty_(Ref::borrow(zero)), deal_price_(none()) {}

    void test_price(PyObject* action, PyObject* price, PyObject* price_type) {
        if (equals(price_type, global_attr(names->PriceType, names->LMT).get())) {
            Ref buy = fast_paths::member_value(global_attr(names->Action, names->BUY).get());
            price_match_ = equals(action, buy.get()) ? compare(tick_close_, price, Py_LE)
                                                     : compare(tick_close_, price, Py_GE);
            if (price_match_) deal_price_ = Ref::borrow(tick_close_);
        } else {
            price_match_ = true;
            deal_price_ = Ref::borrow(tick_close_);
        }
    }

    // ROD keeps its rest in the book, IOC cancels it, FOK fills whole or cancels whole.
    void apply_order_type(PyObject* order_type, PyObject* tick_qty) {
        if (equals(order_type, global_attr(names->OrderType, names->ROD).get()) && price_match_) {
            qty_match_ = true;
            Ref quantity = getitem(record_, names->quantity);
            deal_qty_ = fill_quantity(tick_qty, quantity.get());
            Ref rest_qty = Ref::steal(PyNumber_Subtract(quantity.get(), deal_qty_.get()));
            setitem(record_, names->quantity, rest_qty.get());
            if (compare(rest_qty.get(), zero_, Py_EQ)) remove_from_book();
        } else if (equals(order_type, global_attr(names->OrderType, names->IOC).get())) {
            Ref quantity = getitem(record_, names->quantity);
            Ref rest_qty = quantity;
            if (price_match_) {
                qty_match_ = true;
                deal_qty_ = fill_quantity(tick_qty, quantity.get());
                rest_qty = Ref::steal(PyNumber_Subtract(quantity.get(), deal_qty_.get()));
            }
            if (compare(rest_qty.get(), zero_, Py_GT))
                cancel_info_ = cancel_report(self_, record_, rest_qty.get(), tick_ts_);
            remove_from_book();
        } else if (equals(order_type, global_attr(names->OrderType, names->FOK).get())) {
            if (price_match_) qty_match_ = compare(tick_qty, getitem(record_, names->quantity).get(), Py_GE);
            if (qty_match_)
                deal_qty_ = getitem(record_, names->quantity);
            else
                cancel_info_ = cancel_report(self_, record_, nullptr, tick_ts_);
            remove_from_book();
        }
    }

    // Enters the fill, if any, and returns the tick quantity left for the following records.
    // A fill of nothing (an order whose quantity was already 0) is not reported.
    Ref fill(Ref tick_qty) {
        if (!price_match_ || !qty_match_ || compare(deal_qty_.get(), zero_, Py_EQ)) return tick_qty;
        tick_qty = Ref::steal(PyNumber_Subtract(tick_qty.get(), deal_qty_.get()));
        check_result_type(tick_qty.get(), &PyLong_Type);
        enter_fill(self_, record_, deal_qty_.get(), deal_price_.get(), tick_ts_);
        return tick_qty;
    }

    void cancel() {
        if (cancel_info_ && is_true(cancel_info_.get())) enter_cancel(self_, record_, cancel_info_.get());
    }

private:
    void remove_from_book() { call_method(getattr(self_, names->pending_orders).get(), names->remove, record_); }

    // The smaller of the tick's remaining quantity and the order's quantity.
    static Ref fill_quantity(PyObject* tick_qty, PyObject* quantity) {
        return Ref::borrow(compare(quantity, tick_qty, Py_LT) ? quantity : tick_qty);
    }

    PyObject *self_, *record_, *tick_close_, *tick_ts_, *zero_;
    bool price_match_ = false;
    bool qty_match_ = false;
    Ref deal_qty_, deal_price_;
    Ref cancel_info_;  // empty until a cancel report is built: the walk's `{}`
};

}  // namespace

void enter_fill(PyObject* self, PyObject* record, PyObject* deal_qty, PyObject* deal_price, PyObject* tick_ts) {
    Ref trade = trade_copy(record, {{names->quantity, deal_qty}, {names->price, deal_price}, {names->exchange_ts, tick_ts}});
    PyObject* source = trade.get();
    call_in_order({trade_recorder(self), getitem(source, names->trade_id), getitem(source, names->code),
                   getitem(source, names->action), getitem(source, names->quantity), getitem(source, names->price),
                   getitem(source, names->exchange_ts), Ref::borrow(names->Deal)},
                  names->trade_record_kwnames);
    Ref deal_response = call_method(self, names->build_deal_response, trade);
    call_method(self, names->add_response_to_queue, deal_response);
    call_in_order({method(getattr(self, names->positions).get(), names->set_positions), trade,
                   getitem(source, names->product_type)});
}

Ref order_cancel_report(PyObject* self, PyObject* record, PyObject* rest_qty, PyObject* tick_ts) {
    return cancel_report(self, record, rest_qty, tick_ts);
}

void enter_cancel(PyObject* self, PyObject* record, PyObject* report) {
    call_in_order({trade_recorder(self), getitem(record, names->trade_id), getitem(record, names->code),
                   getitem(record, names->action), getitem(getitem(report, names->order).get(), names->quantity),
                   getitem(getitem(report, names->order).get(), names->price),
                   getitem(getitem(report, names->trade_status).get(), names->exchange_ts),
                   Ref::borrow(names->Cancel)},
                  names->trade_record_kwnames);
    call_method(self, names->add_response_to_queue, report);
}

void match_deal(Self self, Str code, Float tick_close, Int tick_qty, Float tick_ts) {
    check_tick(tick_close, tick_qty);
    BookLock lock;
    Ref tick_qty_left = Ref::borrow(tick_qty);
    Ref zero = Ref::steal(PyLong_FromLong(0));

    // Every record pending when the call began is visited once, in book order; records added
    // meanwhile wait for the next tick. Once the tick's quantity is used up, only IOC and FOK
    // records are matched still (against nothing left to fill); ROD records wait.
    Ref book = matcher_attribute(self, names->pending_orders, state->remembered.pending_orders);
    if (PyList_CheckExact(book.get()) && PyList_GET_SIZE(book.get()) == 0) return;  // nothing to walk
    InstrumentRecords instrument(book.get(), code);
    BookCursor cursor(book.get());
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(instrument.records.get()); ++i) {
        Ref record = Ref::borrow(PyList_GET_ITEM(instrument.records.get(), i));
        if (!cursor.holds(record.get())) continue;
        Ref action = getitem(record.get(), names->action);
        Ref price = getitem(record.get(), names->price);
        Ref order_type = getitem(record.get(), names->order_type);
        Ref price_type = getitem(record.get(), names->price_type);
        bool tick_used_up = compare(tick_qty_left.get(), zero.get(), Py_EQ);
        if (tick_used_up && !expires_with_the_tick(order_type.get())) continue;

        RecordMatch match(self, record.get(), tick_close, tick_ts, zero.get());
        match.test_price(action.get(), price.get(), price_type.get());
        match.apply_order_type(order_type.get(), tick_qty_left.get());
        tick_qty_left = match.fill(std::move(tick_qty_left));
        match.cancel();
    }
    instrument.raise_deferred_error();
}

}  // namespace quorvel::matcher
