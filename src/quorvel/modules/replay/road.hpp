// The road of a tick, the one sequence both engines take for every tick of a run:
//
//   1. the tick arrives: if it starts another trading day, the last live tick of the day before
//      is sampled as that day's end; the sessions' closes passed since the last tick are done
//      (pass_closes); the quote cursor moves to the tick's row;
//   2. the matcher takes it: current = [tick], set_current_tick(tick), and for a code the
//      account watches before_match(tick); the tick matched, by match_deal(code, close, qty,
//      timestamp) or, with a fill model, by its match with the tick's type and quote; the reports
//      that queued are taken (take_reports); for a watched code after_match(tick);
//   3. the tick counts as done; the bars its moment makes due are given to on_bar, each
//      followed by the reports it owes; the tick goes into its code's bar;
//   4. the strategy sees it (warm_up or on_tick) and gets the reports it owes (deliver);
//   5. every equity_every-th live tick is offered to the timeline (sample).
//
// The replay engine hands a day's frame to replay(), which builds each row's tick dict as the
// feed's sending thread builds it; the paced engine hands each tick the feed sends to take().
#pragma once

#include "../extension_support/columns.hpp"
#include "../extension_support/shared_state.hpp"
#include "../extension_support/tick_dict.hpp"
#include "../matcher/fills_api.hpp"
#include "bars.hpp"
#include "row_cursor.hpp"

#include <algorithm>
#include <cstring>
#include <string_view>

namespace quorvel::replay {

// The frame's few distinct codes, each kept as one str: the code of a row is replaced by the
// equal str met before, so that the lookups a tick takes reuse its hash. Each code also holds
// the last tick replayed of it (`hold`): when the matcher replaces that tick in its table with
// the next one, the old tick goes on living here until the next one is held, so the matcher's
// replacement releases nothing (and its native table update need not look into the old tick).
class Codes {
public:
    // `code` or the equal str kept (borrowed).
    PyObject* canonical(PyObject* code);
    // The str of the UTF-8 `text`: the one kept, or a new one (borrowed from here).
    PyObject* canonical(std::string_view text);
    // Holds `tick` as the last tick of `code` (a kept str), letting the one held before go.
    void hold(PyObject* code, const Ref& tick);
    int visit(visitproc visit, void* arg) const;

private:
    static constexpr size_t kMaxCodes = 64;

    void keep(const Ref& code);

    Ref kept_[kMaxCodes];
    Ref last_ticks_[kMaxCodes];          // the last tick replayed of each kept str
    std::string_view texts_[kMaxCodes];  // the UTF-8 of each kept str
    size_t count_ = 0;
    Ref latest_;  // the last str made from a text, should the table be full
};

// A tick's best bid and ask, as its row of the frame holds them.
struct TickQuote {
    double bid_price = 0, ask_price = 0;
    long long bid_volume = 0, ask_volume = 0;
};

// What the road calls, as the engine gives it once for the run.
struct RoadHooks {
    Ref set_current_tick;  // the matcher's bound methods
    Ref match_deal;
    Ref fills;             // the fill model matching instead of match_deal (a QueueFills), or None
    Ref reports;           // the matcher's report deque: reports are taken while it is not empty
    Ref take_reports;      // takes and delivers them
    Ref owed;              // reports not yet given to the strategy
    Ref deliver;           // gives them
    Ref current;           // [the tick on the road], an exact list of one item
    Ref watched;           // the set of codes whose ticks also go to before_match and after_match
    Ref before_match;
    Ref after_match;
    Ref warm_up;           // the strategy's hooks, None where it has none
    Ref on_tick;
    Ref bars;              // a BarBuilder, or None
    Ref on_bar;
    Ref sample;            // sample(timestamp, day_end) -> whether the timeline took it
    Py_ssize_t equity_every;
    Ref trading_day_of;    // trading_day_of(timestamp) -> the trading day it counts for
    double day_rollover;   // seconds after midnight from which a moment counts for the next day
    Ref pass_closes;       // pass_closes(timestamp) -> the next close after it (inf: none)
    Ref progress;          // progress(ticks done) every kProgressEvery ticks, or None
    Ref cursor;            // the quote cursor, or None
};

class Road {
public:
    Road(RoadHooks hooks, BarBuilder* builder, const FillsApi* fills_api);
    Road(const Road&) = delete;
    Road& operator=(const Road&) = delete;

    // The rows of a tick frame, each as the feed's tick dict of the phase.
    void replay(PyObject* frame, PyObject* market_map, PyObject* format_timestamp, bool is_backfilling);
    // One tick dict the feed sent; its quote, for a fill model, is the next row of the frame
    // followed.
    void take(PyObject* tick);
    // The frame the ticks to take come from, from its first row on (a fill model reads their
    // quotes in it).
    void follow(PyObject* frame);
    // Something is due at `moment` besides the closes (an order operation reaching the
    // exchange): pass_closes is asked at the first tick after it.
    void wake(double moment) { next_close_ = std::min(next_close_, moment); }
    // The bars still open, given out: the end of a phase.
    void close_bars();
    // The last live tick, sampled as its day's end: the end of the run.
    void settle();

    Py_ssize_t live_ticks() const { return live_; }
    Py_ssize_t backfill_ticks() const { return backfill_; }
    int visit(visitproc visit, void* arg) const;

private:
    template <class Row>
    void travel(const Row& row, const Ref& tick, double moment, PyObject* timestamp, bool is_backfilling,
                long long tick_type, const TickQuote& quote);
    void arrive(double moment, PyObject* timestamp);
    void leave(double moment, PyObject* timestamp);
    bool is_other_day(double moment);
    Ref day_of(double number, double moment);
    void give_bars(PyObject* bars);
    bool watches(PyObject* code) const;
    void report_progress();

    RoadHooks hooks_;
    BarBuilder* builder_;  // the builder `hooks_.bars` holds, or nullptr
    const FillsApi* fills_api_;  // the fill model's entry point, with `hooks_.fills`; else nullptr
    ColumnReader followed_;      // the quotes of the frame followed by take()
    RowCursor cursor_;
    Codes codes_;
    Py_ssize_t live_ = 0, backfill_ = 0;
    double next_close_;  // the first close after the ticks so far
    // The last live tick, whether it is still to be sampled as its day's end, and its day number.
    bool live_unsampled_ = false;
    Ref last_live_stamp_;
    double last_live_day_number_ = 0;
    // The trading day of the day number last asked of trading_day_of.
    double asked_day_number_;
    Ref asked_day_;
};

}  // namespace quorvel::replay
