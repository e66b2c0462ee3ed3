// What the matcher's source files share: the module's state with its interned names, and the
// method implementations that the class table in matcher.cpp binds.
#pragma once

#include "../extension_support/call.hpp"
#include "../extension_support/errors.hpp"
#include "../extension_support/fast_paths.hpp"
#include "../extension_support/message.hpp"
#include "../extension_support/method.hpp"
#include "../extension_support/module.hpp"
#include "../extension_support/reporting.hpp"
#include "../extension_support/shared_state.hpp"

#include <cstdint>
#include <mutex>
#include <unordered_map>

namespace quorvel::matcher {

// Every attribute, key, keyword and module-level name the matcher uses.
#define QUORVEL_MATCHER_NAMES(NAME, TEXT, TUPLE)                                                  \
    NAME(pending_orders) NAME(response_queue) NAME(pending_order_queue) NAME(current_tick_infos)  \
    NAME(positions) NAME(account_info) NAME(exchange_info) NAME(_Matcher__receive_pending_order)  \
    NAME(_Matcher__init_current_tick_info) NAME(_Matcher__get_random_uuid) NAME(add_order)        \
    NAME(modify_order) NAME(cancel_order) NAME(build_order_response) NAME(build_deal_response)    \
    NAME(get_simulation_stock_order_response) NAME(get_simulation_future_order_response)          \
    NAME(get_simulation_stock_deal_response) NAME(get_simulation_future_deal_response)            \
    NAME(add_response_to_queue) NAME(set_current_tick) NAME(add_trade_record) NAME(set_positions) \
    NAME(copy) NAME(deepcopy) NAME(queue) NAME(Queue) NAME(Empty) NAME(generate) NAME(Thread)     \
    NAME(Positions) NAME(Action) NAME(OperationType) NAME(OrderType) NAME(OrderCond) NAME(OrderLot) \
    NAME(PriceType) NAME(OCType) NAME(SuccessCode) NAME(BUY) NAME(CASH) NAME(COMMON) NAME(AUTO)   \
    NAME(value) NAME(NEW) NAME(UPDATE_QTY) NAME(UPDATE_PRICE) NAME(CANCEL) NAME(ROD) NAME(IOC)    \
    NAME(FOK) NAME(LMT) NAME(CreateOrder) NAME(ModifyOrder) NAME(OrderBeCancel) NAME(message)     \
    NAME(get) NAME(put) NAME(keys) NAME(append) NAME(remove) NAME(start)         \
    NAME(join) NAME(is_alive) NAME(action) NAME(payload) NAME(trade_id) NAME(qty) NAME(price)     \
    NAME(ts) NAME(tick) NAME(timestamp) NAME(code) NAME(account_id) NAME(name) NAME(operation_type) \
    NAME(operation_code) NAME(operation_message) NAME(product_type) NAME(quantity) NAME(price_type) \
    NAME(order_type) NAME(exchange_ts) NAME(order_cond) NAME(order_lot) NAME(oc_type) NAME(id)    \
    NAME(seqno) NAME(ordno) NAME(exchange_seqno) NAME(broker_id) NAME(account)                    \
    NAME(operation_status_code) NAME(order) NAME(trade_status) NAME(exchange) NAME(info)           \
    NAME(Stock) NAME(Future) NAME(New) NAME(Deal) NAME(Cancel) NAME(add) NAME(modify) NAME(cancel) \
    NAME(close) NAME(last_prices)                                                                 \
    TUPLE(thread_kwnames, "target", "daemon") TUPLE(size_kwnames, "size")                         \
    /* add_trade_record's seven keywords, in call order */                                        \
    TUPLE(trade_record_kwnames, "trade_id", "code", "action", "quantity", "price", "timestamp", "trade_status")

struct Names {
    QUORVEL_MATCHER_NAMES(QUORVEL_NAME, QUORVEL_TEXT, QUORVEL_TUPLE)
};

// The matcher's state: made when the module body first runs, process-wide and never released
// (the intake threads are daemon threads that outlive exit).
struct State : SharedState {
    Names names;
    PyTypeObject* position_keeper = nullptr;  // the Positions class as the module body found it (kept)
    PyTypeObject* matcher_class = nullptr;    // Matcher as the module body made it (kept)
    // The entries the tick's road reads from a matcher's and its position keeper's attributes.
    struct Remembered {
        fast_paths::RememberedAttribute tick_infos, positions, pending_orders, keeper_method, last_prices;
    } remembered;
    // What the native tick table update last wrote, code by code (up to 3.11): while the table
    // keeps its version, a code's record is the one remembered, and while the record keeps the
    // version those writes gave it, it holds the tick and the ts written (borrowed). The code is
    // held: a str made later at the address of a released one must not be taken for it.
    struct WrittenRecord {
        Ref code;
        PyObject* record;
        uint64_t version;
        PyObject* tick;
        PyObject* ts;
    };
    struct WrittenTable {
        PyObject* infos = nullptr;
        uint64_t version = 0;
        WrittenRecord records[8] = {};  // once all are taken, a new code takes the first
        size_t count = 0;
    } written;
    // The item close() posts to end an intake loop, recognised by identity: no item a caller can
    // post is taken for it.
    PyObject* const stop_item = check(PyObject_CallObject(reinterpret_cast<PyObject*>(&PyBaseObject_Type), nullptr));
    // The intake thread of every Matcher not closed yet, keyed by the matcher (intake.cpp); each
    // entry holds a new reference to its thread.
    std::unordered_map<PyObject*, PyObject*> intake_threads;
    // Behind every BookLock, of every Matcher: the interpreter runs one matcher thread at a time anyway.
    std::recursive_mutex book_mutex;
};

extern State* state;

inline constexpr StateNames<state> names{};

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

// self.<name> (new reference): read natively from the attributes of an exact Matcher that keeps
// it there, no class attribute having that name, while shortcuts are active (`remembered` is the
// entry's memory); looked up as Python does otherwise.
Ref matcher_attribute(PyObject* self, PyObject* name, fast_paths::RememberedAttribute& remembered);

// self.current_tick_infos.get(code(), {}).get("ts", None): the time of the latest tick of the
// instrument given to set_current_tick, or None.
template <class Code>
Ref latest_tick_time(PyObject* self, Code&& code) {
    Ref infos = getattr(self, names->current_tick_infos);
    Ref tick_info = get_or(infos.get(), code, [] { return new_dict(); });
    return get_or(tick_info.get(), [] { return Ref::borrow(names->ts); }, none);
}

// What matching enters for one order, in the steps and calls of a fill or a cancellation at a
// tick (matching.cpp), for the tick's match and for the fill models of the fills door alike.
// A fill of `deal_qty` at `deal_price` of `record` at `tick_ts`: the trade copy, its trade
// record, its deal report queued, the position keeper's position; the book's record is left as
// it is.
void enter_fill(PyObject* self, PyObject* record, PyObject* deal_qty, PyObject* deal_price, PyObject* tick_ts);
// The cancel report of an IOC or FOK order, for `rest_qty` (or the whole order, nullptr), at
// `tick_ts` (new reference).
Ref order_cancel_report(PyObject* self, PyObject* record, PyObject* rest_qty, PyObject* tick_ts);
// The cancellation `report` of `record` entered: its trade record, the report queued.
void enter_cancel(PyObject* self, PyObject* record, PyObject* report);

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
