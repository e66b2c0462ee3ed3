// Tick matching: the pending orders of one instrument against one tick's price and quantity.
#include "matcher_module.hpp"

#include <vector>

namespace quorvel::matcher {

namespace {

bool compare(PyObject* a, PyObject* b, int op) {
    Ref result = Ref::steal(PyObject_RichCompare(a, b, op));
    return is_true(result.get());
}

// The smaller of the tick's remaining quantity and the order's quantity.
Ref fill_quantity(PyObject* tick_qty, PyObject* quantity) {
    return Ref::borrow(compare(quantity, tick_qty, Py_LT) ? quantity : tick_qty);
}

// copy.deepcopy(record) with the given entries overwritten: what reports and positions receive,
// while the book keeps its own record.
Ref trade_copy(PyObject* record, std::initializer_list<std::pair<PyObject*, PyObject*>> overrides) {
    Ref trade = call_method(global(names->copy).get(), names->deepcopy, record);
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
    return call_method(self, names->build_order_response, trade, global_attr(names->OperationType, names->CANCEL),
                       global_attr(names->SuccessCode, names->OrderBeCancel));
}

// positions.add_trade_record(trade_id=..., code=..., action=..., quantity=..., price=...,
// timestamp=..., trade_status=...)
void add_trade_record(PyObject* self, PyObject* trade_id, PyObject* code, PyObject* action, PyObject* quantity,
                      PyObject* price, PyObject* timestamp, PyObject* trade_status) {
    Ref positions = getattr(self, names->positions);
    Ref method = getattr(positions.get(), names->add_trade_record);
    call_kw(method.get(), names->trade_record_kwnames, trade_id, code, action, quantity, price, timestamp,
            trade_status);
}

// Whether `record` is still in the book. Only a collaborator that calls back into the matcher
// can take records out behind the walk, so the scan runs only when the book's size says so.
bool still_pending(PyObject* book, PyObject* record, Py_ssize_t expected_size) {
    Py_ssize_t size = PyObject_Size(book);
    if (size < 0) throw_error_set();
    if (size == expected_size) return true;
    Ref iterator = Ref::steal(PyObject_GetIter(book));
    while (Ref item = Ref::steal_or_null(PyIter_Next(iterator.get())))
        if (item.get() == record) return true;
    if (PyErr_Occurred()) throw_error_set();
    return false;
}

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
            PyObject *type, *value, *traceback;
            PyErr_Fetch(&type, &value, &traceback);
            error_type_ = Ref::steal_or_null(type);
            error_value_ = Ref::steal_or_null(value);
            error_traceback_ = Ref::steal_or_null(traceback);
        }
    }

    // Raises the error met while gathering, if any.
    void raise_deferred_error() {
        if (!error_type_) return;
        PyErr_Restore(error_type_.release(), error_value_.release(), error_traceback_.release());
        throw_error_set();
    }

    std::vector<Ref> records;

private:
    // The common book: a list of dicts whose codes are str, read without reference traffic;
    // anything else goes through code_matches with the record held.
    void gather_from_list(PyObject* book, PyObject* code) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(book); ++i) {
            PyObject* record = PyList_GET_ITEM(book, i);
            PyObject* record_code = PyDict_CheckExact(record) ? PyDict_GetItemWithError(record, names->code) : nullptr;
            if (record_code != nullptr && PyUnicode_CheckExact(record_code) && PyUnicode_CheckExact(code) &&
                str_ready(record_code) && str_ready(code)) {
                if (str_equals(record_code, code)) records.push_back(Ref::borrow(record));
                continue;
            }
            if (PyErr_Occurred()) throw_error_set();
            Ref held = Ref::borrow(record);
            if (code_matches(held.get(), code)) records.push_back(std::move(held));
        }
    }

    void gather_from_iterable(PyObject* book, PyObject* code) {
        Ref iterator = Ref::steal(PyObject_GetIter(book));
        while (Ref record = Ref::steal_or_null(PyIter_Next(iterator.get())))
            if (code_matches(record.get(), code)) records.push_back(std::move(record));
        if (PyErr_Occurred()) throw_error_set();
    }

    static bool code_matches(PyObject* record, PyObject* code) {
        if (!PyDict_CheckExact(record)) return equals(getitem(record, names->code).get(), code);
        PyObject* record_code = PyDict_GetItemWithError(record, names->code);  // borrowed
        if (record_code == nullptr) return equals(getitem(record, names->code).get(), code);
        return equals(record_code, code);
    }

    Ref error_type_, error_value_, error_traceback_;
};

// The members a walk compares records with, read from the module namespace once per call, when
// the first record of the instrument is reached, rather than again for every record.
struct WalkConstants {
    void load() {
        if (limit) return;
        limit = global_attr(names->PriceType, names->LMT);
        buy = getattr(global_attr(names->Action, names->BUY).get(), names->value);
        rod = global_attr(names->OrderType, names->ROD);
        ioc = global_attr(names->OrderType, names->IOC);
        fok = global_attr(names->OrderType, names->FOK);
    }
    Ref limit, buy, rod, ioc, fok;
};

}  // namespace

Ref match_deal(PyObject* const* args) {
    BookLock lock;
    PyObject *self = args[0], *code = args[1], *tick_close = args[2], *tick_ts = args[4];
    Ref tick_qty = Ref::borrow(args[3]);
    Ref zero = Ref::steal(PyLong_FromLong(0));

    // Every record pending when the call began is visited once, in book order; records added
    // meanwhile wait for the next tick.
    Ref book = getattr(self, names->pending_orders);
    Py_ssize_t book_size = PyObject_Size(book.get());
    if (book_size < 0) throw_error_set();
    InstrumentRecords instrument(book.get(), code);
    auto remove_from_book = [&](PyObject* record) {
        call_method(getattr(self, names->pending_orders).get(), names->remove, record);
        --book_size;
    };

    WalkConstants constants;
    for (const Ref& record : instrument.records) {
        if (!still_pending(book.get(), record.get(), book_size)) continue;

        Ref action = getitem(record.get(), names->action);
        Ref price = getitem(record.get(), names->price);
        Ref order_type = getitem(record.get(), names->order_type);
        Ref price_type = getitem(record.get(), names->price_type);
        if (compare(tick_qty.get(), zero.get(), Py_EQ)) return none();
        constants.load();

        bool price_match = false;
        bool qty_match = false;
        Ref deal_qty = Ref::borrow(zero.get());
        Ref deal_price = none();
        Ref cancel_info = new_dict();
        if (equals(price_type.get(), constants.limit.get())) {
            price_match = equals(action.get(), constants.buy.get()) ? compare(tick_close, price.get(), Py_LE)
                                                          : compare(tick_close, price.get(), Py_GE);
            if (price_match) deal_price = Ref::borrow(tick_close);
        } else {
            price_match = true;
            deal_price = Ref::borrow(tick_close);
        }

        if (equals(order_type.get(), constants.rod.get()) && price_match) {
            qty_match = true;
            Ref quantity = getitem(record.get(), names->quantity);
            deal_qty = fill_quantity(tick_qty.get(), quantity.get());
            Ref rest_qty = Ref::steal(PyNumber_Subtract(quantity.get(), deal_qty.get()));
            setitem(record.get(), names->quantity, rest_qty.get());
            if (compare(rest_qty.get(), zero.get(), Py_EQ)) remove_from_book(record.get());
        } else if (equals(order_type.get(), constants.ioc.get())) {
            Ref quantity = getitem(record.get(), names->quantity);
            Ref rest_qty = quantity;
            if (price_match) {
                qty_match = true;
                deal_qty = fill_quantity(tick_qty.get(), quantity.get());
                rest_qty = Ref::steal(PyNumber_Subtract(quantity.get(), deal_qty.get()));
            }
            if (compare(rest_qty.get(), zero.get(), Py_GT))
                cancel_info = cancel_report(self, record.get(), rest_qty.get(), tick_ts);
            remove_from_book(record.get());
        } else if (equals(order_type.get(), constants.fok.get())) {
            if (price_match)
                qty_match = compare(tick_qty.get(), getitem(record.get(), names->quantity).get(), Py_GE);
            if (qty_match)
                deal_qty = getitem(record.get(), names->quantity);
            else
                cancel_info = cancel_report(self, record.get(), nullptr, tick_ts);
            remove_from_book(record.get());
        }

        if (price_match && qty_match) {
            tick_qty = Ref::steal(PyNumber_Subtract(tick_qty.get(), deal_qty.get()));
            check_result_type(tick_qty.get(), &PyLong_Type);
            Ref trade = trade_copy(record.get(), {{names->quantity, deal_qty.get()},
                                                  {names->price, deal_price.get()},
                                                  {names->exchange_ts, tick_ts}});
            add_trade_record(self, getitem(trade.get(), names->trade_id).get(), getitem(trade.get(), names->code).get(),
                             getitem(trade.get(), names->action).get(), getitem(trade.get(), names->quantity).get(),
                             getitem(trade.get(), names->price).get(), getitem(trade.get(), names->exchange_ts).get(),
                             names->Deal);
            Ref deal_response = call_method(self, names->build_deal_response, trade);
            call_method(self, names->add_response_to_queue, deal_response);
            call_method(getattr(self, names->positions).get(), names->set_positions, trade,
                        getitem(trade.get(), names->product_type));
        }
        if (is_true(cancel_info.get())) {
            Ref order_part = getitem(cancel_info.get(), names->order);
            Ref status_part = getitem(cancel_info.get(), names->trade_status);
            add_trade_record(self, getitem(record.get(), names->trade_id).get(), getitem(record.get(), names->code).get(),
                             getitem(record.get(), names->action).get(),
                             getitem(order_part.get(), names->quantity).get(),
                             getitem(order_part.get(), names->price).get(),
                             getitem(status_part.get(), names->exchange_ts).get(), names->Cancel);
            call_method(self, names->add_response_to_queue, cancel_info);
        }
    }
    instrument.raise_deferred_error();
    return none();
}

}  // namespace quorvel::matcher
