// The intake thread: order operations posted to pending_order_queue, carried out one at a time.
#include "matcher_module.hpp"

#include <unordered_map>

namespace quorvel::matcher {

namespace {

// The intake threads of the state (state->intake_threads). A running thread keeps its matcher
// alive, so a key names a live matcher until close() removes it (or a new matcher at the same
// address replaces the entry of one whose thread ended otherwise).
std::unordered_map<PyObject*, PyObject*>& intake_threads() { return state->intake_threads; }

// Removes the matcher's entry, if it is still there, and drops its thread.
void forget_intake_thread(PyObject* matcher) {
    auto entry = intake_threads().find(matcher);
    if (entry == intake_threads().end()) return;
    Ref dropped = Ref::steal_or_null(entry->second);
    intake_threads().erase(entry);
}

// A copy of `payload` for a call with **payload, refused as Python refuses a non-mapping.
Ref keyword_arguments(PyObject* payload) {
    if (!PyDict_Check(payload)) {
        Ref keys = Ref::steal_or_null(PyObject_GetAttr(payload, names->keys));
        if (!keys) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_error_set();
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "argument after ** must be a mapping, not %.200s",
                         Py_TYPE(payload)->tp_name);
            throw_error_set();
        }
    }
    Ref kwargs = new_dict();
    check_status(PyDict_Merge(kwargs.get(), payload, 1));
    return kwargs;
}

// self.add_order(**payload), self.modify_order(...) or self.cancel_order(...) by the item's action.
void dispatch(PyObject* self, PyObject* item) {
    Ref action = getitem(item, names->action);
    Ref payload = getitem(item, names->payload);
    if (equals(action.get(), names->add)) {
        Ref add_order = getattr(self, names->add_order);
        Ref kwargs = keyword_arguments(payload.get());
        Ref no_args = Ref::steal(PyTuple_New(0));
        Ref::steal(PyObject_Call(add_order.get(), no_args.get(), kwargs.get()));
    } else if (equals(action.get(), names->modify)) {
        call_in_order({method(self, names->modify_order), getitem(payload.get(), names->trade_id),
                       call_method(payload.get(), names->get, names->qty),
                       call_method(payload.get(), names->get, names->price)});
    } else if (equals(action.get(), names->cancel)) {
        call_in_order({method(self, names->cancel_order), getitem(payload.get(), names->trade_id)});
    } else {
        console_print({"[red]不支援的操作: ", action, "[/red]"});
    }
}

// The loop's `except` clauses: queue.Empty waits on, any other Exception is printed and logged
// with the item taken in this pass (None before the first item).
void report_intake_failure(const HandledException& error, PyObject* item) {
    bool empty = false;
    guarded([&] { empty = error.matches(global_attr(names->queue, names->Empty).get()); });
    if (empty) {
        guarded([&] { console_print({"[red]等待委託單中...[/red]"}); });
        return;
    }
    guarded([&] { console_print({"[red]接收委託單失敗: ", error.value(), "[/red]"}); });
    guarded([&] {
        Ref data = new_dict();
        setitem(data.get(), names->info, item != nullptr ? item : Py_None);
        // The loop must outlive any payload: what json refuses is written as its repr.
        log_error_record(error, {{"data", data.get()}}, Serialisation::ReprFallback);
    });
}

}  // namespace

Ref receive_pending_order(Self self) {
    const CatchSite site = in_method("__receive_pending_order");
    Ref item;
    for (bool stopping = false; !stopping;) {
        catch_exception(
            [&] {
                item = call_method(getattr(self, names->pending_order_queue).get(), names->get);
                stopping = item.get() == state->stop_item;
                if (!stopping) dispatch(self, item.get());
            },
            [&](HandledException& error) { report_intake_failure(error, item.get()); }, &site);
    }
    return none();
}

void register_intake_thread(Self self, PyObject* thread) {
    PyObject*& entry = intake_threads()[self.get()];
    Ref replaced = Ref::steal_or_null(entry);  // dropped once the new thread is in place
    Py_INCREF(thread);
    entry = thread;
}

Ref close(Self self, Float timeout) {
    auto found = intake_threads().find(self.get());
    if (found == intake_threads().end()) return Ref::borrow(Py_True);  // closed before
    Ref thread = Ref::borrow(found->second);
    call_method(getattr(self, names->pending_order_queue).get(), names->put, state->stop_item);
    call_method(thread.get(), names->join, timeout);
    bool stopped = !is_true(call_method(thread.get(), names->is_alive).get());
    if (stopped) forget_intake_thread(self);  // the join let other threads run: look it up again
    return Ref::borrow(stopped ? Py_True : Py_False);
}

void add_pending_order_queue(Self self, Str action, Dict payload) {
    Ref item = new_dict();
    setitem(item.get(), names->action, action);
    setitem(item.get(), names->payload, payload);
    call_method(getattr(self, names->pending_order_queue).get(), names->put, item);
}

}  // namespace quorvel::matcher
