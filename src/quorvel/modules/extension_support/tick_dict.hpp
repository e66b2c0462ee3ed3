// The tick dictionary: what the feed's sending thread puts on its queue and the replay loop hands
// to the matcher and the strategy, built here for both. Its keys, in this order, and their values
// for one row of a tick frame:
//
//   market_type     market_map[row's code]: "Stock" or "Future"
//   timestamp       formatter(row's ts, 8): the exchange's local time (Asia/Taipei) written as if
//                   it were UTC epoch seconds, as the broker writes it
//   code            the row's code
//   close           the row's close
//   qty             the row's volume
//   tick_type       the row's tick_type
//   is_simulate     False
//   is_backfilling  True for a tick of the backfill phase
#pragma once

#include "shared_state.hpp"
#include "timestamps.hpp"

namespace quorvel {

// A row's values read beforehand (borrowed), as column lists give them.
class TickRow {
public:
    TickRow(PyObject* code, PyObject* ts, PyObject* close, PyObject* volume, PyObject* tick_type)
        : code_(code), ts_(ts), close_(close), volume_(volume), tick_type_(tick_type) {}
    PyObject* code() const { return code_; }
    PyObject* ts() const { return ts_; }
    PyObject* close() const { return close_; }
    PyObject* volume() const { return volume_; }
    PyObject* tick_type() const { return tick_type_; }

private:
    PyObject *code_, *ts_, *close_, *volume_, *tick_type_;
};

class TickDicts {
public:
    // Made with the module's state: one dict per phase with the eight keys in order and the values
    // every tick of the phase shares, copied for each tick.
    explicit TickDicts(const SharedNames& names);
    TickDicts(const TickDicts&) = delete;
    TickDicts& operator=(const TickDicts&) = delete;

    // The tick of one row. The row (a TickRow, or any type with the same five methods, each
    // giving a value borrowed or as a new reference in a Ref, the ts also as an int64) is read
    // as a dict display
    // evaluates the values: the code and the market first, then formatter() (the formatter the
    // caller's name resolves to now) and the ts, then the other values in key order.
    // `timestamp`, if given, receives the timestamp.
    template <class Row, class Formatter>
    Ref make(PyObject* market_map, const Row& row, Formatter&& formatter, bool is_backfilling,
             Ref* timestamp = nullptr) const {
        const SharedNames& n = names_;
        Ref market = getitem(market_map, as_ptr(row.code()));
        auto format = formatter();
        Ref stamp = tick_timestamp(as_ptr(format), row.ts());
        Ref tick = Ref::steal(PyDict_Copy(phase_[is_backfilling ? 1 : 0]));
        setitem(tick.get(), n.market_type, market.get());
        setitem(tick.get(), n.timestamp, stamp.get());
        setitem(tick.get(), n.code, as_ptr(row.code()));
        setitem(tick.get(), n.close, as_ptr(row.close()));
        setitem(tick.get(), n.qty, as_ptr(row.volume()));
        setitem(tick.get(), n.tick_type, as_ptr(row.tick_type()));
        if (timestamp != nullptr) *timestamp = std::move(stamp);
        return tick;
    }

private:
    const SharedNames& names_;
    PyObject* phase_[2];  // live, backfill; kept for the process
};

}  // namespace quorvel
