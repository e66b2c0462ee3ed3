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

class TickDicts {
public:
    // Made with the module's state: one dict per phase with the eight keys in order and the values
    // every tick of the phase shares, copied for each tick.
    explicit TickDicts(const SharedNames& names);
    TickDicts(const TickDicts&) = delete;
    TickDicts& operator=(const TickDicts&) = delete;

    // The tick of one row. read(column) gives the row's value of a frame column (borrowed, or a
    // new reference in a Ref), called as a dict display evaluates the values: the code and the
    // market first, then formatter() (the formatter the caller's name resolves to now) and the
    // ts, then the other columns in key order. `timestamp`, if given, receives the timestamp.
    template <class Read, class Formatter>
    Ref make(PyObject* market_map, Read&& read, Formatter&& formatter, bool is_backfilling,
             Ref* timestamp = nullptr) const {
        const SharedNames& n = names_;
        Ref market = getitem(market_map, as_ptr(read(n.code)));
        auto format = formatter();
        Ref stamp = tick_timestamp(as_ptr(format), as_ptr(read(n.ts)));
        Ref tick = Ref::steal(PyDict_Copy(phase_[is_backfilling ? 1 : 0]));
        setitem(tick.get(), n.market_type, market.get());
        setitem(tick.get(), n.timestamp, stamp.get());
        setitem(tick.get(), n.code, as_ptr(read(n.code)));
        setitem(tick.get(), n.close, as_ptr(read(n.close)));
        setitem(tick.get(), n.qty, as_ptr(read(n.volume)));
        setitem(tick.get(), n.tick_type, as_ptr(read(n.tick_type)));
        if (timestamp != nullptr) *timestamp = std::move(stamp);
        return tick;
    }

private:
    const SharedNames& names_;
    PyObject* phase_[2];  // live, backfill; kept for the process
};

}  // namespace quorvel
