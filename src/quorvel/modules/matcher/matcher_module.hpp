// What the matcher's source files share: the interned names, the module namespace, the book
// lock and the method implementations that the class table in matcher.cpp binds.
#pragma once

#include "../extension_support/call.hpp"
#include "../extension_support/errors.hpp"
#include "../extension_support/fast_paths.hpp"
#include "../extension_support/message.hpp"
#include "../extension_support/reporting.hpp"
#include "../extension_support/method.hpp"
#include "../extension_support/module.hpp"

namespace quorvel::matcher {

// Every attribute, key, keyword and module-level name the matcher uses, interned once.
#define QUORVEL_MATCHER_NAMES(X)                                                                  \
    X(pending_orders) X(response_queue) X(pending_order_queue) X(current_tick_infos) X(positions) \
    X(account_info) X(exchange_info) X(_Matcher__receive_pending_order)                           \
    X(_Matcher__init_current_tick_info) X(_Matcher__get_random_uuid) X(add_order) X(modify_order) \
    X(cancel_order) X(build_order_response) X(build_deal_response)                                \
    X(get_simulation_stock_order_response) X(get_simulation_future_order_response)               \
    X(get_simulation_stock_deal_response) X(get_simulation_future_deal_response)                  \
    X(add_response_to_queue) X(set_current_tick) X(add_trade_record) X(set_positions)             \
    X(copy) X(deepcopy) X(queue) X(Queue) X(Empty) X(generate) X(Thread) X(Positions) X(Action)   \
    X(OperationType) X(OrderType) X(OrderCond) X(OrderLot) X(PriceType) X(OCType) X(SuccessCode)  \
    X(BUY) X(CASH) X(COMMON) X(AUTO) X(value) X(NEW) X(UPDATE_QTY) X(UPDATE_PRICE) X(CANCEL) X(ROD) X(IOC) X(FOK) X(LMT)    \
    X(CreateOrder) X(ModifyOrder) X(OrderBeCancel) X(message) X(from_value)                       \
    X(get) X(put) X(keys) X(append) X(remove) X(start) X(join) X(is_alive)                                                   \
    X(action) X(payload) X(trade_id) X(qty) X(price) X(ts) X(tick) X(timestamp) X(code)           \
    X(account_id) X(name) X(operation_type) X(operation_code) X(operation_message)                \
    X(product_type) X(quantity) X(price_type) X(order_type) X(exchange_ts) X(order_cond)          \
    X(order_lot) X(oc_type) X(id) X(seqno) X(ordno) X(exchange_seqno) X(broker_id) X(account)     \
    X(operation_status_code) X(order) X(trade_status) X(exchange) X(info) X(data)                 \
    X(Stock) X(Future) X(New) X(Deal) X(Cancel) X(add) X(modify) X(cancel) X(close) X(last_prices)

struct Names {
    QUORVEL_MATCHER_NAMES(QUORVEL_INTERNED_NAME)
    PyObject* thread_kwnames = check(Py_BuildValue("(ss)", "target", "daemon"));
    PyObject* size_kwnames = check(Py_BuildValue("(s)", "size"));
    // add_trade_record's seven keywords, in call order
    PyObject* trade_record_kwnames = check(Py_BuildValue(
        "(sssssss)", "trade_id", "code", "action", "quantity", "price", "timestamp", "trade_status"));
};

// Made when the module body first runs; process-wide, never released.
extern const Names* names;
extern ModuleNamespace module_ns;

inline constexpr auto global = &ModuleLookups<module_ns>::global;
// module_level.attribute, e.g. OperationType.NEW: a member of our enumerations read natively.
inline Ref global_attr(PyObject* name, PyObject* attribute) {
    return fast_paths::class_attribute(global(name).get(), attribute);
}

// The traceback entry of a place in `method` where an exception is caught, named as the entry a
// failing call gets.
CatchSite in_method(const char* method, std::source_location where = std::source_location::current());

// Raises Exception(message) and throws.
[[noreturn]] void raise_exception(std::initializer_list<Piece> message);

// Serialises the driver's matching and the intake threads' order operations. It is one
// process-wide mutex shared by every Matcher (not a lock per book): a thread working on one
// matcher's book holds back the others. Re-entrant for its holder; the GIL is released while
// waiting for it.
class BookLock {
public:
    BookLock();
    ~BookLock();
    BookLock(const BookLock&) = delete;
    BookLock& operator=(const BookLock&) = delete;
};

// Refusals of values no order or tick may carry, made before a method changes anything: an
// order's quantity of at least 1 and finite price (greater than 0 for a limit order, not below 0
// for the others); a new price finite and greater than 0; a tick's price finite and greater than
// 0 and its quantity not below 0. Each raises Exception with the reason.
void check_new_order(PyObject* price, PyObject* qty, PyObject* price_type);
void check_new_price(PyObject* price);
void check_tick(PyObject* tick_close, PyObject* tick_qty);

// mapping.get(key(), fallback()): natively for an exact dict, whose get cannot be replaced;
// otherwise the method is looked up before the arguments are evaluated, as Python does.
template <class Key, class Fallback>
Ref get_or(PyObject* mapping, Key&& key, Fallback&& fallback) {
    if (!PyDict_CheckExact(mapping)) return call_in_order({getattr(mapping, names->get), key(), fallback()});
    Ref wanted = key();
    PyObject* found = PyDict_GetItemWithError(mapping, wanted.get());
    if (found != nullptr) return Ref::borrow(found);
    if (PyErr_Occurred()) throw_error_set();
    return fallback();
}

// self.current_tick_infos.get(code(), {}).get("ts", None): the time of the latest tick of the
// instrument given to set_current_tick, or None.
template <class Code>
Ref latest_tick_time(PyObject* self, Code&& code) {
    Ref infos = getattr(self, names->current_tick_infos);
    Ref tick_info = get_or(infos.get(), code, [] { return new_dict(); });
    return get_or(tick_info.get(), [] { return Ref::borrow(names->ts); }, none);
}

// Method implementations, bound by the class table in matcher.cpp.
void init(Self self, Object positions);
Ref init_current_tick_info(Self self, Str code);
Ref get_random_uuid(Self self);
Ref receive_pending_order(Self self);
void reset_tick_infos(Self self);
void set_current_tick(Self self, Dict tick);
// Records Positions.set_current_tick, for set_current_tick to recognise; called when the module
// body runs.
void capture_position_keeper();
void add_order(Self self, Str code, Str product_type, Str action, Float price, Int qty, Str price_type,
               Str order_type, Str order_cond, Str order_lot, Str oc_type);
void modify_order(Self self, Str trade_id, Int qty, FloatOrNone price);
void cancel_order(Self self, Str trade_id);
void match_deal(Self self, Str code, Float tick_close, Int tick_qty, Float tick_ts);
Ref build_order_response(Self self, Dict trade, Object operation_type, Object code_obj);
Ref build_deal_response(Self self, Dict trade);
Ref get_simulation_stock_order_response(Self self, Dict data);
Ref get_simulation_future_order_response(Self self, Dict data);
Ref get_simulation_stock_deal_response(Self self, Dict data);
Ref get_simulation_future_deal_response(Self self, Dict data);
Ref pop_response(Self self);
void add_pending_order_queue(Self self, Str action, Dict payload);
void add_response_to_queue(Self self, Dict response);
// Stops the intake thread: what is posted before is carried out first. Returns whether the
// thread ended within `timeout` seconds (again if not); closing again returns True at once.
Ref close(Self self, Float timeout);
// Called by the constructor once the intake thread runs, for close() to find it.
void register_intake_thread(Self self, PyObject* thread);

}  // namespace quorvel::matcher
