// Order entry, modification and cancellation on the pending-order book.
#include "matcher_module.hpp"

namespace quorvel::matcher {

namespace {

// The first pending record whose "trade_id" equals trade_id, or an empty Ref.
Ref find_order(PyObject* book, PyObject* trade_id) {
    Ref iterator = Ref::steal(PyObject_GetIter(book));
    while (Ref record = Ref::steal_or_null(PyIter_Next(iterator.get()))) {
        if (equals(getitem(record.get(), names->trade_id).get(), trade_id)) return record;
    }
    if (PyErr_Occurred()) throw_error_set();
    return Ref();
}


// self.add_response_to_queue(self.build_order_response(record, OperationType.<operation>, SuccessCode.<code>))
void report_order(PyObject* self, PyObject* record, PyObject* operation, PyObject* code) {
    Ref response = call_in_order({method(self, names->build_order_response), Ref::borrow(record),
                                  global_attr(names->OperationType, operation),
                                  global_attr(names->SuccessCode, code)});
    call_method(self, names->add_response_to_queue, response);
}

// Enumeration.from_value(value)
Ref from_value(PyObject* enumeration, PyObject* value) {
    return fast_paths::from_value(global(enumeration).get(), [&] { return Ref::borrow(value); });
}

void set(PyObject* record, PyObject* key, PyObject* value) { setitem(record, key, value); }
void set(PyObject* record, PyObject* key, const Ref& value) { setitem(record, key, value.get()); }

}  // namespace

void add_order(Self self, Str code, Str product_type, Str action, Float price, Int qty, Str price_type,
               Str order_type, Str order_cond, Str order_lot, Str oc_type) {
    check_new_order(price, qty, price_type);
    BookLock lock;

    Ref record = new_dict(15);
    set(record.get(), names->operation_type, names->New);
    set(record.get(), names->operation_code, getattr(global_attr(names->SuccessCode, names->CreateOrder).get(), names->code));
    set(record.get(), names->operation_message,
        getattr(global_attr(names->SuccessCode, names->CreateOrder).get(), names->message));
    set(record.get(), names->trade_id, call_method(self, names->_Matcher__get_random_uuid));
    set(record.get(), names->account_id, getitem(getattr(self, names->account_info).get(), names->account_id));
    set(record.get(), names->code, code);
    set(record.get(), names->product_type, product_type);
    set(record.get(), names->action, from_value(names->Action, action));
    set(record.get(), names->price, price);
    set(record.get(), names->quantity, qty);
    set(record.get(), names->price_type, from_value(names->PriceType, price_type));
    set(record.get(), names->order_type, from_value(names->OrderType, order_type));
    set(record.get(), names->exchange_ts, latest_tick_time(self, [&] { return Ref::borrow(code); }));

    if (equals(product_type, names->Stock)) {
        Ref cond = from_value(names->OrderCond, order_cond);
        Ref lot = from_value(names->OrderLot, order_lot);
        set(record.get(), names->order_cond, cond);
        set(record.get(), names->order_lot, lot);
    } else if (equals(product_type, names->Future)) {
        set(record.get(), names->oc_type, from_value(names->OCType, oc_type));
    } else {
        raise_exception({"不支援的商品類型: ", product_type});
    }
    call_method(getattr(self, names->pending_orders).get(), names->append, record);

    const CatchSite site = in_method("add_order");
    catch_exception(
        [&] {
            report_order(self, record.get(), names->NEW, names->CreateOrder);
            console_print({"[green]新增委託單 ", getitem(record.get(), names->trade_id), " 成功[/green]"});
        },
        [&](HandledException& error) {
            Ref data = new_dict();
            PyObject* const arguments[] = {code, product_type, action, price, qty, price_type, order_type,
                                           order_cond, order_lot, oc_type};
            PyObject* const keys[] = {names->code, names->product_type, names->action, names->price,
                                      names->qty, names->price_type, names->order_type, names->order_cond,
                                      names->order_lot, names->oc_type};
            for (size_t i = 0; i < std::size(keys); ++i) set(data.get(), keys[i], arguments[i]);
            log_error_record(error, {{"data", data.get()}});
            console_print({"[red]發生錯誤: ", error.text(), "[/red]"});
        }, &site);
}

void modify_order(Self self, Str trade_id, Int qty, FloatOrNone price) {
    BookLock lock;
    bool qty_given = is_true(qty);
    bool price_given = is_true(price);
    if (!qty_given && !price_given) raise_exception({"請至少提供數量或價格來修改委託單 ", trade_id});
    // A modification can only take quantity off an order.
    Ref zero = Ref::steal(PyLong_FromLong(0));
    if (qty_given && compare(qty, zero.get(), Py_LT))
        raise_exception({"修改的數量 ", qty, " 必須大於 0"});
    if (price_given) check_new_price(price);

    Ref book = getattr(self, names->pending_orders);
    Ref record = find_order(book.get(), trade_id);
    if (!record) {
        console_print({"[red]委託單 ", trade_id, " 不存在[/red]"});
        return;
    }

    if (qty_given) {
        Ref quantity = getitem(record.get(), names->quantity);
        if (compare(qty, quantity.get(), Py_GT))
            raise_exception({"修改的數量 ", qty, " 大於原本的數量 ", Ref::steal(PyObject_Str(quantity.get()))});
        Ref rest = Ref::steal(PyNumber_InPlaceSubtract(quantity.get(), qty));
        setitem(record.get(), names->quantity, rest.get());
        report_order(self, record.get(), names->UPDATE_QTY, names->ModifyOrder);
        // An order reduced to nothing leaves the book instead of filling 0 at its next tick.
        if (compare(rest.get(), zero.get(), Py_EQ))
            call_method(getattr(self, names->pending_orders).get(), names->remove, record);
        console_print({"[green]修改委託單 ", trade_id, " 數量成功, 修改數量 ", qty, "[/green]"});
    }
    if (price_given) {
        setitem(record.get(), names->price, price);
        report_order(self, record.get(), names->UPDATE_PRICE, names->ModifyOrder);
        console_print({"[green]修改委託單 ", trade_id, " 價格成功, 修改價格 ", price, "[/green]"});
    }
}

void cancel_order(Self self, Str trade_id) {
    BookLock lock;
    Ref book = getattr(self, names->pending_orders);
    Ref record = find_order(book.get(), trade_id);
    if (!record) {
        console_print({"[red]委託單 ", trade_id, " 不存在[/red]"});
        return;
    }
    call_method(getattr(self, names->pending_orders).get(), names->remove, record);
    const CatchSite site = in_method("cancel_order");
    catch_exception(
        [&] {
            report_order(self, record.get(), names->CANCEL, names->OrderBeCancel);
            console_print({"[green]取消委託單 ", trade_id, " 成功[/green]"});
        },
        [&](HandledException& error) { console_print({"[red]", error.text(), "[/red]"}); }, &site);
}

}  // namespace quorvel::matcher
