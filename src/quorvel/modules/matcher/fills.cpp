// The door through which a backtest's fill model works on a Matcher's book: quorvel.modules.
// matcher.fills, a second module of the matcher's library (PyInit_fills, loaded by fills.py over
// the matcher's file), so that it shares the matcher's names, namespace and report path while the
// matcher module's own namespace stays exactly what it is.
//
// QueueFills fills the orders of a Matcher's book as a queue at the exchange would: an order that
// reaches a standing quote takes it at that quote's price, up to its displayed volume; a resting
// order fills at its own price once the volume displayed ahead of it at that price has traded,
// or when a trade goes through its price; a call auction's trade fills the orders that entered
// the call at the auction's price. Fills and cancellations go through the matcher's own steps
// (enter_fill, enter_cancel): the same trade records, positions and report layouts as matching.
#include "matcher_module.hpp"

#include "../extension_support/native_type.hpp"
#include "fills_api.hpp"

#include <algorithm>
#include <cmath>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace quorvel::matcher {

namespace {

constexpr const char* kSourceFile = "src/quorvel/modules/matcher/fills";

// The volume ahead of an order not yet known: its price lies behind the best quote of its side.
constexpr double kUnknown = -1;

// A code's best bid and ask as its latest tick left them; prices of 0 stand for none.
struct Quote {
    double bid = 0, ask = 0;
    int64_t bid_volume = 0, ask_volume = 0;

    bool any() const { return bid > 0 || ask > 0; }
    // The best price of an order's own side, and its displayed volume.
    double own(bool is_buy) const { return is_buy ? bid : ask; }
    int64_t own_volume(bool is_buy) const { return is_buy ? bid_volume : ask_volume; }
    // What an order of that side takes: the best of the other side.
    double other(bool is_buy) const { return is_buy ? ask : bid; }
    int64_t& other_volume(bool is_buy) { return is_buy ? ask_volume : bid_volume; }
};

struct CodeState {
    std::string code;
    Quote quote;
    bool quoted = false;  // a tick of the code has carried a quote
};

// What the model knows of an order in the book beside its record.
struct OrderState {
    double ahead = kUnknown;       // the volume displayed ahead of it at its price
    bool awaits_trade = false;     // marketable, without a quote to take: fills at the next trade
    bool in_call = false;          // entered during a call auction: fills in its trade
};

// A record's entries the model reads, as C values; the record is borrowed from a BookView.
struct Order {
    PyObject* record;
    std::string trade_id;
    bool is_buy, is_limit;
    double price;
    int64_t quantity;
    enum class Kind { ROD, IOC, FOK } kind;
};

std::string text_of(PyObject* value) {
    Py_ssize_t size;
    const char* utf8 = PyUnicode_AsUTF8AndSize(value, &size);
    if (utf8 == nullptr) throw_error_set();
    return std::string(utf8, static_cast<size_t>(size));
}

int64_t int64_of(PyObject* value) {
    long long number = PyLong_AsLongLong(value);
    if (number == -1 && PyErr_Occurred()) throw_error_set();
    return number;
}

double double_of(PyObject* value) {
    double number = PyFloat_AsDouble(value);
    if (number == -1.0 && PyErr_Occurred()) throw_error_set();
    return number;
}

Ref int_of(int64_t value) { return Ref::steal(PyLong_FromLongLong(value)); }

// Orders of the book as one walk or search took them: `records`, a copy of the book list, holds
// their records for as long as the view lives, whatever the Python code called meanwhile does
// to the book.
struct BookView {
    Ref records;
    std::vector<Order> orders;
};

class QueueFills {
public:
    QueueFills(PyObject* matcher, bool probable, int64_t slippage_ticks, PyObject* price_step)
        : matcher_(Ref::borrow(matcher)), price_step_(Ref::borrow(price_step)), probable_(probable),
          slippage_ticks_(slippage_ticks) {}

    // One tick of `code`: its trade (price, volume, tick type) and its quote after it.
    void match(PyObject* code, double close, PyObject* volume, PyObject* timestamp, int64_t tick_type,
               const Quote& quote) {
        int64_t traded = int64_of(volume);
        if (traded < 0) raise(PyExc_ValueError, "a tick's volume must be at least 0");
        CodeState& state = code_state(code);
        Quote before = state.quote;
        state.quote = quote;
        state.quoted = state.quoted || quote.any();
        Ref book = book_list();
        if (PyList_GET_SIZE(book.get()) == 0) return;
        int64_t budget = traded;  // what the trade's volume has left for the orders after
        BookView view = orders_of(book.get(), code);
        bool python_ran = false;  // since the walk began: the book may have changed
        for (const Order& order : view.orders) {
            if (python_ran && !in_book(order.record)) continue;
            auto state_of = states_.find(order.trade_id);
            if (state_of == states_.end()) continue;  // not entered through this model
            OrderState known = state_of->second;  // a copy: a fill forgets the order's state
            int64_t taken = 0;
            double fill_price = order.price;
            bool auction = known.in_call;  // the first trade after its call began is the call's
            if (known.awaits_trade) {
                python_ran = python_ran || (!auction && slippage_ticks_ > 0);
                fill_price = auction ? close : slipped(code, close, order.is_buy);
                bool within = !order.is_limit || (order.is_buy ? fill_price <= order.price : fill_price >= order.price);
                taken = within ? std::min(order.quantity, budget) : 0;
            } else if (order.is_limit) {
                bool through = order.is_buy ? close < order.price : close > order.price;
                bool at_price = close == order.price &&
                                (auction || tick_type == (order.is_buy ? kHitTheBid : kHitTheAsk));
                int64_t beyond_queue = 0;
                if (at_price && known.ahead != kUnknown) {
                    double free = static_cast<double>(budget) - known.ahead;
                    beyond_queue = free > 0 ? static_cast<int64_t>(free) : 0;
                    known.ahead = std::max(0.0, known.ahead - static_cast<double>(traded));
                }
                taken = std::min(order.quantity, through ? budget : std::min(budget, beyond_queue));
                if (auction) fill_price = close;  // a better limit fills at the auction's price
                known.in_call = false;
            }
            if (order.kind == Order::Kind::FOK && taken < order.quantity) taken = 0;
            bool expires = known.awaits_trade || (order.kind != Order::Kind::ROD && auction);
            if (taken > 0) {
                budget -= taken;
                python_ran = true;
                fill(order, taken, fill_price, timestamp);
            }
            if (expires) {
                python_ran = true;
                expire(order, order.quantity - taken, timestamp);
                continue;
            }
            auto kept = states_.find(order.trade_id);
            if (kept == states_.end()) continue;  // filled whole and out of the book
            follow_queue(known, order, quote, before, close, tick_type);
            kept->second = known;
        }
    }

    // An order the exchange has just taken (its New report given) at `at`: it takes the standing
    // quote of its code if it reaches it, else it rests or, an IOC or FOK order, is cancelled; one
    // entered during a call auction waits for the auction's trade.
    void entered(PyObject* trade_id, PyObject* at, bool in_call) {
        BookView view = find(trade_id);
        if (view.orders.empty()) return;
        const Order& order = view.orders.front();
        forget_orders_gone();
        OrderState& known = states_[order.trade_id] = OrderState{};
        Ref code = getitem(order.record, names->code);
        CodeState& state = code_state(code.get());
        Quote& quote = state.quote;
        if (in_call) {  // no continuous trading meanwhile: it waits for the auction's trade
            known.in_call = true;
            known.awaits_trade = !order.is_limit;
            known.ahead = ahead_on_entry(order, quote);
            return;
        }
        double other = quote.other(order.is_buy);
        bool reaches = !order.is_limit || (other > 0 && (order.is_buy ? order.price >= other : order.price <= other));
        if (!reaches) {
            if (order.kind == Order::Kind::ROD) {
                known.ahead = ahead_on_entry(order, quote);
            } else if (quote.any()) {
                expire(order, order.quantity, at);
            } else {
                known.awaits_trade = true;  // no quote tells whether it would reach: the next trade does
            }
            return;
        }
        int64_t& offered = quote.other_volume(order.is_buy);
        if (other <= 0 || offered <= 0) {
            known.awaits_trade = true;  // at the market, with nothing quoted to take
            return;
        }
        int64_t taken = std::min(order.quantity, offered);
        if (order.kind == Order::Kind::FOK && taken < order.quantity) taken = 0;
        if (taken > 0) {
            offered -= taken;
            fill(order, taken, other, at);
        }
        int64_t rest = order.quantity - taken;
        if (rest == 0) return;
        if (order.kind != Order::Kind::ROD || !order.is_limit) {
            expire(order, rest, at);
            return;
        }
        auto resting = states_.find(order.trade_id);  // looked up again: the fill ran Python code
        if (resting != states_.end()) resting->second.ahead = 0;  // the new best of its side
    }

    // A call auction of `code` begins while its orders rest (the stocks' closing call): they take
    // part in the call's trade, the code's next.
    void call_begins(PyObject* code) {
        Ref book = book_list();
        BookView view = orders_of(book.get(), code);
        for (const Order& order : view.orders) {
            auto known = states_.find(order.trade_id);
            if (known != states_.end()) known->second.in_call = true;
        }
    }

    // An order whose price has changed: its place in the queue is taken anew at its new price.
    void repriced(PyObject* trade_id) {
        BookView view = find(trade_id);
        if (view.orders.empty()) return;
        const Order& order = view.orders.front();
        Ref code = getitem(order.record, names->code);
        double ahead = ahead_on_entry(order, code_state(code.get()).quote);
        states_[order.trade_id].ahead = ahead;
    }

    // The codes whose ticks so far carried no quote, in the order first met.
    Ref codes_without_quotes() const {
        Ref codes = new_list();
        for (size_t i = 0; i < codes_.size(); ++i) {  // by index: a collection may run Python code
            if (codes_[i].quoted) continue;
            Ref text = Ref::steal(check(PyUnicode_FromStringAndSize(codes_[i].code.data(),
                                                                    static_cast<Py_ssize_t>(codes_[i].code.size()))));
            check_status(PyList_Append(codes.get(), text.get()));
        }
        return codes;
    }

    int visit(visitproc visit, void* arg) const {
        Py_VISIT(matcher_.get());
        Py_VISIT(price_step_.get());
        return 0;
    }

private:
    static constexpr int64_t kHitTheAsk = 1, kHitTheBid = 2;

    CodeState& code_state(PyObject* code) {
        std::string text = text_of(code);
        for (CodeState& state : codes_)
            if (state.code == text) return state;
        codes_.push_back(CodeState{text, {}, false});
        return codes_.back();
    }

    // The volume ahead of an order entering the queue at its price: what is displayed there when
    // its price is the best of its side, nothing when it improves on it (or nothing is quoted
    // on its side), unknown behind it.
    static double ahead_on_entry(const Order& order, const Quote& quote) {
        if (!quote.any()) return kUnknown;  // no quote to place it by: only trades through its price fill it
        double best = quote.own(order.is_buy);
        if (best <= 0 || (order.is_buy ? order.price > best : order.price < best)) return 0;
        if (order.price == best) return static_cast<double>(quote.own_volume(order.is_buy));
        return kUnknown;
    }

    // After a tick: the order's queue as the quote shows its price. At the best price the volume
    // ahead is never more than is displayed (and, with `probable`, shrinks by its share of what
    // left without a trade there); a price the best has moved behind has nothing ahead.
    void follow_queue(OrderState& known, const Order& order, const Quote& quote, const Quote& before, double close,
                      int64_t tick_type) const {
        double best = quote.own(order.is_buy);
        if (best <= 0) return;
        if (order.is_buy ? best < order.price : best > order.price) {
            known.ahead = 0;
            return;
        }
        if (best != order.price) return;
        double displayed = static_cast<double>(quote.own_volume(order.is_buy));
        if (known.ahead == kUnknown) {
            known.ahead = displayed;
            return;
        }
        bool traded_here = close == order.price && tick_type == (order.is_buy ? kHitTheBid : kHitTheAsk);
        double shown = static_cast<double>(before.own_volume(order.is_buy));
        if (probable_ && !traded_here && before.own(order.is_buy) == order.price && shown > displayed && shown > 0)
            known.ahead -= (shown - displayed) * known.ahead / shown;
        known.ahead = std::min(known.ahead, displayed);
    }

    // The trade's price moved `slippage_ticks` steps against an order of that side.
    double slipped(PyObject* code, double price, bool is_buy) {
        if (slippage_ticks_ == 0) return price;
        Ref steps = int_of(is_buy ? slippage_ticks_ : -slippage_ticks_);
        return double_of(call(price_step_.get(), code, new_float(price), steps).get());
    }

    // The book's own steps come first, as in the matcher's matching: the order's rest and its
    // place in the book are right before the Python code of the fill's recording runs.
    void fill(const Order& order, int64_t quantity, double price, PyObject* at) {
        Ref taken = int_of(quantity);
        Ref deal_price = new_float(price);
        Ref timestamp = new_float(double_of(at));
        Ref left = int_of(order.quantity - quantity);
        setitem(order.record, names->quantity, left.get());
        if (order.quantity == quantity) leave_book(order);
        enter_fill(matcher_.get(), order.record, taken.get(), deal_price.get(), timestamp.get());
    }

    // Cancels what is left of an order, `rest` of it, and takes it out of the book.
    void expire(const Order& order, int64_t rest, PyObject* at) {
        if (rest <= 0) {
            if (order.quantity == 0) leave_book(order);
            return;
        }
        Ref timestamp = new_float(double_of(at));
        Ref left = int_of(rest);
        setitem(order.record, names->quantity, left.get());
        Ref report = order_cancel_report(matcher_.get(), order.record, left.get(), timestamp.get());
        leave_book(order);
        enter_cancel(matcher_.get(), order.record, report.get());
    }

    void leave_book(const Order& order) {
        Ref book = book_list();
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(book.get()); ++i)
            if (PyList_GET_ITEM(book.get(), i) == order.record) {
                check_status(PySequence_DelItem(book.get(), i));
                break;
            }
        states_.erase(order.trade_id);
    }

    // The matcher's book, which the model walks and changes as the list it is.
    Ref book_list() const {
        Ref book = getattr(matcher_.get(), names->pending_orders);
        if (!PyList_Check(book.get())) raise(PyExc_TypeError, "the fill models need the matcher's pending_orders to be a list");
        return book;
    }

    bool in_book(PyObject* record) const {
        Ref book = book_list();
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(book.get()); ++i)
            if (PyList_GET_ITEM(book.get(), i) == record) return true;
        return false;
    }

    // The book's orders of `code`, in book order.
    static BookView orders_of(PyObject* book, PyObject* code) {
        BookView view{Ref::steal(check(PyList_GetSlice(book, 0, PyList_GET_SIZE(book)))), {}};
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(view.records.get()); ++i) {
            PyObject* record = PyList_GET_ITEM(view.records.get(), i);
            if (equals(getitem(record, names->code).get(), code)) view.orders.push_back(order_of(record));
        }
        return view;
    }

    // The order of `trade_id` alone, its record held by the view, or none.  The book is searched
    // from its end, where an order just entered or repriced is met first, and not copied: a
    // book of many orders costs a new one no more than a short book does.
    BookView find(PyObject* trade_id) const {
        Ref book = book_list();
        BookView view{Ref::steal(check(PyList_New(0))), {}};
        for (Py_ssize_t i = PyList_GET_SIZE(book.get()) - 1; i >= 0; --i) {
            if (i >= PyList_GET_SIZE(book.get())) continue;  // a comparison ran Python code that shrank it
            Ref record = Ref::borrow(PyList_GET_ITEM(book.get(), i));
            if (equals(getitem(record.get(), names->trade_id).get(), trade_id)) {
                if (PyList_Append(view.records.get(), record.get()) < 0) throw_error_set();
                view.orders.push_back(order_of(record.get()));
                break;
            }
        }
        return view;
    }

    static Order order_of(PyObject* record) {
        Ref action = getitem(record, names->action);
        Ref buy = fast_paths::member_value(global_attr(names->Action, names->BUY).get());
        Ref price_type = getitem(record, names->price_type);
        Ref order_type = getitem(record, names->order_type);
        Order::Kind kind = equals(order_type.get(), global_attr(names->OrderType, names->IOC).get())   ? Order::Kind::IOC
                           : equals(order_type.get(), global_attr(names->OrderType, names->FOK).get()) ? Order::Kind::FOK
                                                                                                        : Order::Kind::ROD;
        return Order{record,
                     text_of(getitem(record, names->trade_id).get()),
                     equals(action.get(), buy.get()),
                     equals(price_type.get(), global_attr(names->PriceType, names->LMT).get()),
                     double_of(getitem(record, names->price).get()),
                     int64_of(getitem(record, names->quantity).get()),
                     kind};
    }

    // Drops what is known of orders no longer in the book, once they are many: each order that
    // leaves it through the matcher (a cancellation) leaves its state behind.  The book is read
    // only then, when as many states have been left as it holds orders.
    void forget_orders_gone() {
        Ref book = book_list();
        if (states_.size() < static_cast<size_t>(2 * PyList_GET_SIZE(book.get()) + 64)) return;
        Ref copy = Ref::steal(check(PyList_GetSlice(book.get(), 0, PyList_GET_SIZE(book.get()))));
        PyObject* records = copy.get();
        std::unordered_map<std::string, OrderState> kept;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(records); ++i) {
            std::string trade_id = text_of(getitem(PyList_GET_ITEM(records, i), names->trade_id).get());
            auto known = states_.find(trade_id);
            if (known != states_.end()) kept.insert(*known);
        }
        states_ = std::move(kept);
    }

    Ref matcher_, price_step_;
    bool probable_;
    int64_t slippage_ticks_;
    std::vector<CodeState> codes_;
    std::unordered_map<std::string, OrderState> states_;  // by trade id
};

PyTypeObject* fills_type = nullptr;

QueueFills& fills_of(PyObject* self) { return native_value<QueueFills>(self, fills_type, "QueueFills"); }

bool is_fills(PyObject* object) { return Py_TYPE(object) == fills_type; }

void check_matcher(PyObject* matcher) {
    if (!check_status(PyObject_IsInstance(matcher, reinterpret_cast<PyObject*>(state->matcher_class))))
        raise(PyExc_TypeError, "matcher must be a Matcher");
}

// A trade id drawn from the matcher's own generator, as add_order draws one (new reference).
Ref draw_trade_id(Object matcher) {
    check_matcher(matcher);
    return call_method(matcher, names->_Matcher__get_random_uuid);
}

// The trade id the matcher's next orders get, or the generator's again for None: the matcher
// draws each through the method of its instance, which an instance attribute answers.
void preset_trade_id(Object matcher, Object trade_id) {
    check_matcher(matcher);
    if (trade_id == Py_None) {
        if (PyObject_DelAttr(matcher, names->_Matcher__get_random_uuid) < 0) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_error_set();
            PyErr_Clear();
        }
        return;
    }
    if (!PyUnicode_CheckExact(trade_id.get())) raise(PyExc_TypeError, "trade_id must be a str or None");
    Ref functools = Ref::steal(check(PyImport_ImportModule("functools")));
    Ref answer = call(getattr(functools.get(), intern("partial").get()).get(),
                      reinterpret_cast<PyObject*>(&PyUnicode_Type), trade_id);
    setattr(matcher, names->_Matcher__get_random_uuid, answer.get());
}


Ref new_queue_fills(Object matcher, Object probable, Int slippage_ticks, Object price_step) {
    check_matcher(matcher);
    if (!PyBool_Check(probable.get())) raise(PyExc_TypeError, "probable must be a bool");
    int64_t ticks = int64_of(slippage_ticks);
    if (ticks < 0) raise(PyExc_ValueError, "slippage_ticks must be at least 0");
    if (!PyCallable_Check(price_step)) raise(PyExc_TypeError, "price_step must be callable");
    return new_native(fills_type, new QueueFills(matcher, probable.get() == Py_True, ticks, price_step));
}

void fills_match(Self self, Str code, Float close, Int volume, Float timestamp, Int tick_type, Float bid_price,
                 Int bid_volume, Float ask_price, Int ask_volume) {
    Quote quote{PyFloat_AS_DOUBLE(bid_price.get()), PyFloat_AS_DOUBLE(ask_price.get()), int64_of(bid_volume),
                int64_of(ask_volume)};
    BookLock lock;
    fills_of(self).match(code, PyFloat_AS_DOUBLE(close.get()), volume, timestamp, int64_of(tick_type), quote);
}

void fills_entered(Self self, Str trade_id, Float at, Object in_call) {
    if (!PyBool_Check(in_call.get())) raise(PyExc_TypeError, "in_call must be a bool");
    BookLock lock;
    fills_of(self).entered(trade_id, at, in_call.get() == Py_True);
}

void fills_call_begins(Self self, Str code) {
    BookLock lock;
    fills_of(self).call_begins(code);
}

void fills_repriced(Self self, Str trade_id) {
    BookLock lock;
    fills_of(self).repriced(trade_id);
}

Ref fills_codes_without_quotes(Self self) { return fills_of(self).codes_without_quotes(); }

// The road's call, from another extension module: match() with the tick's numbers as they are.
int match_from_road(PyObject* fills, PyObject* code, double close, PyObject* volume, PyObject* timestamp,
                    long long tick_type, double bid_price, long long bid_volume, double ask_price, long long ask_volume) {
    bool ok = run_at_boundary([&] {
        BookLock lock;
        fills_of(fills).match(code, close, volume, timestamp, tick_type,
                              Quote{bid_price, ask_price, bid_volume, ask_volume});
    });
    return ok ? 0 : -1;
}

const FillsApi fills_api = {is_fills, match_from_road};

const ClassInfo fills_info = {"quorvel.modules.matcher.fills", "QueueFills", kSourceFile};
const ClassInfo door_functions = {"quorvel.modules.matcher.fills", nullptr, kSourceFile};

constexpr Param draw_params[] = {{"matcher", "Matcher"}};
constexpr Param preset_params[] = {{"matcher", "Matcher"}, {"trade_id", "Optional[str]"}};

constexpr MethodEntry draw_entry = function<draw_trade_id, draw_params>({.name = "draw_trade_id",
    .doc = "A trade id drawn from the matcher's own generator, as its add_order draws one.",
    .return_annotation = "str"});
constexpr MethodEntry preset_entry = function<preset_trade_id, preset_params>({.name = "preset_trade_id",
    .doc = "Give the matcher's next orders `trade_id` (one drawn before), or its generator's ids again for None.",
    .return_annotation = "None"});

constexpr Param constructor_params[] = {{"matcher", "Matcher"}, {"probable", "bool"}, {"slippage_ticks", "int"},
                                        {"price_step", "Callable[[str, float, int], float]"}};
constexpr Param match_params[] = {{"code", "str"},      {"close", "float"},      {"volume", "int"},
                                  {"timestamp", "float"}, {"tick_type", "int"},   {"bid_price", "float"},
                                  {"bid_volume", "int"},  {"ask_price", "float"}, {"ask_volume", "int"}};
constexpr Param entered_params[] = {{"trade_id", "str"}, {"at", "float"}, {"in_call", "bool"}};
constexpr Param repriced_params[] = {{"trade_id", "str"}};
constexpr Param call_params[] = {{"code", "str"}};

constexpr MethodEntry fills_constructor = function<new_queue_fills, constructor_params>({.name = "QueueFills",
    .doc = "Fills of `matcher`'s book by queue position: `probable` also moves an order forward by its share\n"
           "of what leaves its price without a trade; an order with no quote to take fills at the next trade's\n"
           "price moved `slippage_ticks` steps against it (price_step(code, price, steps)).",
    .return_annotation = "None"});

constexpr MethodEntry fills_methods[] = {
    method<fills_match, match_params>({.name = "match",
        .doc = "Fill the book's orders of `code` against one tick: its trade and the quote after it.",
        .return_annotation = "None"}),
    method<fills_entered, entered_params>({.name = "entered",
        .doc = "An order just entered at `at`: it takes the standing quote it reaches, rests, or is cancelled.",
        .return_annotation = "None"}),
    method<fills_call_begins, call_params>({.name = "call_begins",
        .doc = "A call auction of `code` begins: the orders resting take part in its trade, the code's next.",
        .return_annotation = "None"}),
    method<fills_repriced, repriced_params>({.name = "repriced",
        .doc = "An order whose price changed: its place in the queue is taken anew.",
        .return_annotation = "None"}),
    method<fills_codes_without_quotes>({.name = "codes_without_quotes",
        .doc = "The codes whose ticks so far carried no quote.",
        .return_annotation = "List[str]"}),
};

PyType_Slot fills_slots[] = {
    QUORVEL_NATIVE_SLOTS(QueueFills),
    {Py_tp_doc, const_cast<char*>("Fills of a Matcher's book by queue position, latency aside.")},
    {0, nullptr},
};

PyType_Spec fills_spec = {"quorvel.modules.matcher.fills.QueueFills", sizeof(NativeObject<QueueFills>), 0,
                          kNativeTypeFlags, fills_slots};

constexpr const char* kDoorDoc =
    "The fill models' door: fills of a Matcher's book other than its own matching, through the\n"
    "matcher's own steps for a fill and a cancellation.";

// The module body: the matcher module first (its body makes the names and the namespace the
// door works with), then the door's type and the road's entry point.
void exec_fills(PyObject* module) {
    Ref matcher_module = Ref::steal(check(PyImport_ImportModule("quorvel.modules.matcher.matcher")));
    if (fills_type == nullptr) {
        Ref type = make_native_type(fills_info, fills_spec, fills_constructor, fills_methods);
        fills_type = reinterpret_cast<PyTypeObject*>(type.release());
    }
    check_status(PyModule_SetDocString(module, kDoorDoc));
    Ref type = Ref::borrow(reinterpret_cast<PyObject*>(fills_type));
    check_status(PyModule_AddObject(module, "QueueFills", type.get()));
    type.release();  // the module holds it now
    for (const MethodEntry* entry : {&draw_entry, &preset_entry}) {
        Ref function = make_function(door_functions, *entry);
        check_status(PyModule_AddObject(module, entry->name, function.get()));
        function.release();
    }
    Ref api = Ref::steal(check(PyCapsule_New(const_cast<FillsApi*>(&fills_api), kFillsApiCapsule, nullptr)));
    check_status(PyModule_AddObject(module, "_road_api", api.get()));
    api.release();
}

ModuleLoader loader = {"fills", "quorvel.modules.matcher.fills", kSourceFile, exec_fills};

}  // namespace
}  // namespace quorvel::matcher

PyMODINIT_FUNC PyInit_fills() { return quorvel::init_module<quorvel::matcher::loader>(); }
