#include "road.hpp"

#include "replay_module.hpp"

#include <cmath>
#include <limits>

namespace quorvel::replay {

namespace {

constexpr double kSecondsPerDay = 86'400;

// Signals (Ctrl-C) are looked at, and the progress reported, every this many ticks.
constexpr Py_ssize_t kProgressEvery = 4096;

// Rows converted to Python values at a time: the road holds them all, so a slice costs few calls.
constexpr Py_ssize_t kSliceRows = 1 << 16;

bool has_items(PyObject* container) {
    Py_ssize_t size = PyObject_Size(container);
    if (size < 0) throw_error_set();
    return size > 0;
}

bool same_text(PyObject* a, PyObject* b) {
    return PyUnicode_GET_LENGTH(a) == PyUnicode_GET_LENGTH(b) && PyUnicode_KIND(a) == PyUnicode_KIND(b) &&
           std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b),
                       static_cast<size_t>(PyUnicode_GET_LENGTH(a)) * PyUnicode_KIND(a)) == 0;
}

long long as_long_long(PyObject* number) {
    long long value = PyLong_AsLongLong(number);
    if (value == -1 && PyErr_Occurred()) throw_error_set();
    return value;
}

// The quote of the current row of `columns`, whose numbers `first` on are bid_price,
// bid_volume, ask_price and ask_volume; a value of None (a row without a quote) counts as 0.
TickQuote quote_of(ColumnReader& columns, size_t first) {
    auto real = [&](size_t column) {
        if (columns.in_place(column)) return columns.float64(column);
        PyObject* value = columns.value(column);
        return value == Py_None ? 0.0 : as_double(value);
    };
    auto whole = [&](size_t column) {
        if (columns.in_place(column)) return static_cast<long long>(columns.int64(column));
        PyObject* value = columns.value(column);
        return value == Py_None ? 0LL : as_long_long(value);
    };
    return TickQuote{real(first), real(first + 2), whole(first + 1), whole(first + 3)};
}

// TypeError unless `frame` is a polars DataFrame whose quote columns have their types.
void check_quote_columns(PyObject* frame) {
    Ref frame_type = global_attr(names->pl, names->DataFrame);
    Ref int64 = global_attr(names->pl, names->Int64);
    Ref float64 = global_attr(names->pl, names->Float64);
    if (!ColumnReader::suits(frame, frame_type.get(),
                             {{names->bid_price, float64.get()}, {names->bid_volume, int64.get()},
                              {names->ask_price, float64.get()}, {names->ask_volume, int64.get()}}))
        raise(PyExc_TypeError,
              "with a fill model the frame needs the quote's columns bid_price (Float64), bid_volume (Int64), "
              "ask_price (Float64) and ask_volume (Int64)");
}

// The day a moment's date counts as, the day's start moved back by the rollover: moments of one
// such day always count for one trading day.
double day_number(double moment, double rollover) { return std::floor((moment + kSecondsPerDay - rollover) / kSecondsPerDay); }

// A row's values as the road reads them: the code as the str kept for it, the ts as an int64
// when read in place (else as the column's list gives it), the other values as objects made
// from their numbers or taken from their lists.
template <class Ts>
class FrameRow {
public:
    FrameRow(PyObject* code, Ts ts, Ref close, Ref volume, Ref tick_type)
        : code_(code), ts_(ts), close_(std::move(close)), volume_(std::move(volume)), tick_type_(std::move(tick_type)) {}
    PyObject* code() const { return code_; }
    Ts ts() const { return ts_; }
    const Ref& close() const { return close_; }
    const Ref& volume() const { return volume_; }
    const Ref& tick_type() const { return tick_type_; }

private:
    PyObject* code_;
    Ts ts_;
    Ref close_, volume_, tick_type_;
};

// A tick dict's values, as take() reads them: held, so that a hook changing the dict on the way
// takes none of them away from the road.
class DictRow {
public:
    explicit DictRow(PyObject* tick)
        : code_(value(tick, names->code)), close_(value(tick, names->close)), volume_(value(tick, names->qty)) {}
    PyObject* code() const { return code_.get(); }
    const Ref& close() const { return close_; }
    const Ref& volume() const { return volume_; }

private:
    static Ref value(PyObject* tick, PyObject* key) {
        PyObject* found = PyDict_GetItemWithError(tick, key);
        if (found != nullptr) return Ref::borrow(found);
        if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, key);
        throw_error_set();
    }

    Ref code_, close_, volume_;
};

}  // namespace

PyObject* Codes::canonical(PyObject* code) {
    if (!PyUnicode_CheckExact(code)) return code;
    for (size_t i = 0; i < count_; ++i)
        if (kept_[i].get() == code || same_text(kept_[i].get(), code)) return kept_[i].get();
    keep(Ref::borrow(code));
    return code;
}

PyObject* Codes::canonical(std::string_view text) {
    for (size_t i = 0; i < count_; ++i)
        if (texts_[i] == text) return kept_[i].get();
    latest_ = Ref::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict"));
    keep(latest_);
    return latest_.get();
}

void Codes::hold(PyObject* code, const Ref& tick) {
    for (size_t i = 0; i < count_; ++i)
        if (kept_[i].get() == code) {
            last_ticks_[i] = tick;
            return;
        }
}

int Codes::visit(visitproc visit, void* arg) const {
    for (size_t i = 0; i < count_; ++i) Py_VISIT(last_ticks_[i].get());
    return 0;
}

void Codes::keep(const Ref& code) {
    if (count_ == kMaxCodes) return;
    Py_ssize_t size;
    const char* utf8 = PyUnicode_AsUTF8AndSize(code.get(), &size);  // kept by the str
    if (utf8 == nullptr) throw_error_set();
    texts_[count_] = std::string_view(utf8, static_cast<size_t>(size));
    kept_[count_++] = code;
}

Road::Road(RoadHooks hooks, BarBuilder* builder, const FillsApi* fills_api)
    : hooks_(std::move(hooks)),
      builder_(builder),
      fills_api_(fills_api),
      cursor_(hooks_.cursor.get()),
      next_close_(-std::numeric_limits<double>::infinity()),
      asked_day_number_(std::numeric_limits<double>::quiet_NaN()) {}

void Road::replay(PyObject* frame, PyObject* market_map, PyObject* format_timestamp, bool is_backfilling) {
    Ref frame_type = global_attr(names->pl, names->DataFrame);
    Ref int64 = global_attr(names->pl, names->Int64);
    Ref float64 = global_attr(names->pl, names->Float64);
    Ref string = global_attr(names->pl, names->String);
    if (!ColumnReader::suits(frame, frame_type.get(),
                             {{names->code, string.get()}, {names->ts, int64.get()}, {names->close, float64.get()},
                              {names->volume, int64.get()}, {names->tick_type, int64.get()}}))
        raise(PyExc_TypeError,
              "the frame must be a polars DataFrame with columns code (String), ts (Int64), close (Float64), "
              "volume (Int64) and tick_type (Int64)");
    // The columns' numbers, in the order opened; the quote's last, read for a fill model only.
    constexpr size_t kCode = 0, kTs = 1, kClose = 2, kVolume = 3, kTickType = 4, kQuote = 5;
    using Read = ColumnReader::Column::Read;
    ColumnReader columns;
    if (fills_api_ != nullptr) {
        check_quote_columns(frame);
        columns.open(frame,
                     {{names->code, Read::InPlaceText}, {names->ts, Read::InPlaceInt64},
                      {names->close, Read::InPlaceFloat64}, {names->volume, Read::InPlaceInt64},
                      {names->tick_type, Read::InPlaceInt64}, {names->bid_price, Read::InPlaceFloat64},
                      {names->bid_volume, Read::InPlaceInt64}, {names->ask_price, Read::InPlaceFloat64},
                      {names->ask_volume, Read::InPlaceInt64}},
                     kSliceRows);
    } else {
        columns.open(frame,
                     {{names->code, Read::InPlaceText}, {names->ts, Read::InPlaceInt64},
                      {names->close, Read::InPlaceFloat64}, {names->volume, Read::InPlaceInt64},
                      {names->tick_type, Read::InPlaceInt64}},
                     kSliceRows);
    }
    auto code = [&] {
        return columns.in_place(kCode) ? codes_.canonical(columns.text(kCode)) : codes_.canonical(columns.value(kCode));
    };
    auto close = [&] {
        return columns.in_place(kClose) ? new_float(columns.float64(kClose)) : Ref::borrow(columns.value(kClose));
    };
    auto integer = [&](size_t column) {
        return columns.in_place(column) ? Ref::steal(PyLong_FromLongLong(columns.int64(column)))
                                        : Ref::borrow(columns.value(column));
    };
    auto formatter = [&] { return format_timestamp; };
    while (columns.next()) {
        TickQuote quote;
        if (fills_api_ != nullptr) quote = quote_of(columns, kQuote);
        auto replay_row = [&](const auto& row) {
            Ref timestamp;
            Ref tick = state->tick_dicts.make(market_map, row, formatter, is_backfilling, &timestamp);
            travel(row, tick, as_double(timestamp.get()), timestamp.get(), is_backfilling,
                   as_long_long(row.tick_type().get()), quote);
            codes_.hold(row.code(), tick);
        };
        if (columns.in_place(kTs))
            replay_row(FrameRow<int64_t>(code(), columns.int64(kTs), close(), integer(kVolume), integer(kTickType)));
        else
            replay_row(FrameRow<PyObject*>(code(), columns.value(kTs), close(), integer(kVolume), integer(kTickType)));
    }
}

void Road::take(PyObject* tick) {
    if (!PyDict_CheckExact(tick)) raise(PyExc_TypeError, "a tick is a dict");
    Ref timestamp = getitem(tick, names->timestamp);
    bool is_backfilling = is_true(getitem(tick, names->is_backfilling).get());
    DictRow row(tick);
    TickQuote quote;
    long long tick_type = 0;  // read for a fill model only, as the quote is
    if (fills_api_ != nullptr) {
        tick_type = as_long_long(getitem(tick, names->tick_type).get());
        if (!followed_.is_open() || !followed_.next())
            raise(PyExc_RuntimeError, "a tick was taken beyond the rows of the frame followed");
        quote = quote_of(followed_, 0);
    }
    travel(row, Ref::borrow(tick), as_double(timestamp.get()), timestamp.get(), is_backfilling, tick_type, quote);
}

void Road::follow(PyObject* frame) {
    if (fills_api_ == nullptr) return;  // without a fill model the quotes are not read
    check_quote_columns(frame);
    using Read = ColumnReader::Column::Read;
    followed_.open(frame, {{names->bid_price, Read::InPlaceFloat64}, {names->bid_volume, Read::InPlaceInt64},
                           {names->ask_price, Read::InPlaceFloat64}, {names->ask_volume, Read::InPlaceInt64}},
                   kSliceRows);
}

template <class Row>
void Road::travel(const Row& row, const Ref& tick, double moment, PyObject* timestamp, bool is_backfilling,
                  long long tick_type, const TickQuote& quote) {
    arrive(moment, timestamp);
    PyObject* current = hooks_.current.get();
    if (PyList_GET_SIZE(current) != 1) raise(PyExc_ValueError, "current must be a list of one item");
    PyObject* before = PyList_GET_ITEM(current, 0);
    PyList_SET_ITEM(current, 0, Py_NewRef(tick.get()));
    Py_XDECREF(before);
    call(hooks_.set_current_tick.get(), tick);
    if (watches(row.code())) call(hooks_.before_match.get(), tick);
    if (fills_api_ != nullptr)
        check_status(fills_api_->match(hooks_.fills.get(), row.code(), as_double(as_ptr(row.close())),
                                       as_ptr(row.volume()), timestamp, tick_type, quote.bid_price, quote.bid_volume,
                                       quote.ask_price, quote.ask_volume));
    else
        call(hooks_.match_deal.get(), row.code(), row.close(), row.volume(), timestamp);
    if (has_items(hooks_.reports.get())) call(hooks_.take_reports.get());
    if (watches(row.code())) call(hooks_.after_match.get(), tick);  // the reports may have made it watched
    ++(is_backfilling ? backfill_ : live_);
    if (builder_ != nullptr) {
        if (builder_->has_due(moment)) give_bars(builder_->take_due(moment).get());
        builder_->add(row.code(), moment, as_ptr(row.close()), as_ptr(row.volume()), is_backfilling);
    }
    PyObject* react = (is_backfilling ? hooks_.warm_up : hooks_.on_tick).get();
    if (react != Py_None) call(react, tick);
    if (has_items(hooks_.owed.get())) call(hooks_.deliver.get());
    if (!is_backfilling) leave(moment, timestamp);
    if ((live_ + backfill_) % kProgressEvery == 0) {
        report_progress();
        check_status(PyErr_CheckSignals());
    }
}

void Road::arrive(double moment, PyObject* timestamp) {
    if (live_unsampled_ && is_other_day(moment)) {
        live_unsampled_ = false;
        call(hooks_.sample.get(), last_live_stamp_, Py_True);
    }
    if (moment > next_close_) next_close_ = as_double(call(hooks_.pass_closes.get(), timestamp).get());
    cursor_.advance();
}

void Road::leave(double moment, PyObject* timestamp) {
    last_live_stamp_ = Ref::borrow(timestamp);
    last_live_day_number_ = day_number(moment, hooks_.day_rollover);
    live_unsampled_ = true;
    if (live_ % hooks_.equity_every == 0 && is_true(call(hooks_.sample.get(), timestamp, Py_False).get()))
        live_unsampled_ = false;
}

bool Road::is_other_day(double moment) {
    double number = day_number(moment, hooks_.day_rollover);
    if (number == last_live_day_number_) return false;
    Ref last = day_of(last_live_day_number_, as_double(last_live_stamp_.get()));
    Ref now = day_of(number, moment);
    return !equals(last.get(), now.get());
}

Ref Road::day_of(double number, double moment) {
    if (number != asked_day_number_) {
        asked_day_ = call(hooks_.trading_day_of.get(), new_float(moment));
        asked_day_number_ = number;
    }
    return asked_day_;
}

void Road::give_bars(PyObject* bars) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(bars); ++i) {
        call(hooks_.on_bar.get(), PyList_GET_ITEM(bars, i));
        if (has_items(hooks_.owed.get())) call(hooks_.deliver.get());
    }
}

void Road::close_bars() {
    if (builder_ != nullptr) give_bars(builder_->take_all().get());
}

void Road::settle() {
    if (!live_unsampled_) return;
    live_unsampled_ = false;
    call(hooks_.sample.get(), last_live_stamp_, Py_True);
}

bool Road::watches(PyObject* code) const {
    if (PySet_GET_SIZE(hooks_.watched.get()) == 0) return false;  // the usual case costs no lookup
    return check_status(PySet_Contains(hooks_.watched.get(), code)) != 0;
}

void Road::report_progress() {
    if (hooks_.progress.get() == Py_None) return;
    Ref done = Ref::steal(PyLong_FromSsize_t(live_ + backfill_));
    call(hooks_.progress.get(), done);
}

int Road::visit(visitproc visit, void* arg) const {
    const RoadHooks& h = hooks_;
    for (const Ref* held : {&h.set_current_tick, &h.match_deal, &h.reports, &h.take_reports, &h.owed, &h.deliver,
                            &h.current, &h.watched, &h.before_match, &h.after_match, &h.warm_up, &h.on_tick, &h.bars,
                            &h.on_bar, &h.sample, &h.trading_day_of, &h.pass_closes, &h.progress, &h.cursor, &h.fills,
                            &last_live_stamp_, &asked_day_})
        Py_VISIT(held->get());
    return codes_.visit(visit, arg);
}

}  // namespace quorvel::replay
