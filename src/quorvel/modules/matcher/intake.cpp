// The intake thread: order operations posted to pending_order_queue, carried out one at a time.
#include "matcher_module.hpp"

namespace quorvel::matcher {

namespace {

// self.add_order(**payload), self.modify_order(...) or self.cancel_order(...) by the item's action.
void dispatch(PyObject* self, PyObject* item) {
    Ref action = getitem(item, names->action);
    Ref payload = getitem(item, names->payload);
    if (equals(action.get(), names->add)) {
        if (payload.get() == Py_None)
            raise(PyExc_TypeError, "argument after ** must be a mapping, not NoneType");
        Ref kwargs = new_dict();
        check_status(PyDict_Merge(kwargs.get(), payload.get(), 1));
        Ref no_args = Ref::steal(PyTuple_New(0));
        Ref add_order = getattr(self, names->add_order);
        Ref::steal(PyObject_Call(add_order.get(), no_args.get(), kwargs.get()));
    } else if (equals(action.get(), names->modify)) {
        Ref trade_id = getitem(payload.get(), names->trade_id);
        Ref qty = call_method(payload.get(), names->get, names->qty);
        Ref price = call_method(payload.get(), names->get, names->price);
        call_method(self, names->modify_order, trade_id, qty, price);
    } else if (equals(action.get(), names->cancel)) {
        call_method(self, names->cancel_order, getitem(payload.get(), names->trade_id));
    } else {
        console_print(module_ns, {"[red]不支援的操作: ", action, "[/red]"});
    }
}

// The loop's `except` clauses: queue.Empty waits on, any other Exception is printed and logged
// with the item taken in this pass (None before the first item).
void report_intake_failure(PyObject* item) {
    HandledException error;
    bool empty = false;
    guarded([&] { empty = error.matches(global_attr(names->queue, names->Empty).get()); });
    if (empty) {
        guarded([&] { console_print(module_ns, {"[red]等待委託單中...[/red]"}); });
        return;
    }
    guarded([&] { console_print(module_ns, {"[red]接收委託單失敗: ", error.value(), "[/red]"}); });
    guarded([&] {
        Ref data = new_dict();
        setitem(data.get(), names->info, item != nullptr ? item : Py_None);
        log_error_record(module_ns, error, {{"data", data.get()}});
    });
}

}  // namespace

Ref receive_pending_order(PyObject* const* args) {
    PyObject* self = args[0];
    Ref item;
    for (;;) {
        try {
            item = call_method(getattr(self, names->pending_order_queue).get(), names->get);
            dispatch(self, item.get());
        } catch (const PyErrorSet&) {
            if (!pending_error_is_exception()) throw;
            report_intake_failure(item.get());
        }
    }
}

Ref add_pending_order_queue(PyObject* const* args) {
    Ref item = new_dict();
    setitem(item.get(), names->action, args[1]);
    setitem(item.get(), names->payload, args[2]);
    call_method(getattr(args[0], names->pending_order_queue).get(), names->put, item);
    return none();
}

}  // namespace quorvel::matcher
