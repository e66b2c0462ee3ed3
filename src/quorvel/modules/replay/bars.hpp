// Bars of the replayed ticks: per code, the ticks of each interval of `seconds` counted from its
// session's open, summed up as open, high, low, close, volume and tick count. The road of a tick
// (road.hpp) hands each tick to the run's BarBuilder and the strategy the bars it gives out, in
// both engines.
//
// Times are a tick's "timestamp" (seconds on the broker's clock). The moments of a code fall into
// spans, its trading sessions and the gaps between them; session_span(code, moment) gives the span
// holding `moment` as (origin, due): its intervals start at origin + k * seconds, and it holds the
// moments from origin up to, not including, due. A bar falls due at its end or at its span's due,
// whichever comes first, and is given out by take_due at the first moment at or after that, or by
// take_all. Ticks come in time order, as a phase's frame has them.
#pragma once

#include "../extension_support/call.hpp"
#include "../extension_support/names.hpp"

#include <cstdint>
#include <limits>
#include <vector>

namespace quorvel::replay {

// The keys of a bar dict, in this order.
#define QUORVEL_BAR_NAMES(NAME, TEXT, TUPLE)                                                          \
    NAME(code) NAME(start) NAME(end) NAME(open) NAME(high) NAME(low) NAME(close) NAME(volume) NAME(ticks) \
    NAME(is_backfilling)

struct BarNames {
    QUORVEL_BAR_NAMES(QUORVEL_NAME, QUORVEL_TEXT, QUORVEL_TUPLE)
};

// A number as a double: a float read directly, anything else as float() would take it.
double as_double(PyObject* number);

class BarBuilder {
public:
    static constexpr double kInfinity = std::numeric_limits<double>::infinity();

    // `names` outlive the builder (they are the module's, kept for the process); `session_span`
    // is called as session_span(code, moment) -> (origin, due).
    BarBuilder(const BarNames& names, double seconds, PyObject* session_span);
    BarBuilder(const BarBuilder&) = delete;
    BarBuilder& operator=(const BarBuilder&) = delete;

    // Whether a bar is due at `moment`: the one test every tick takes.
    bool has_due(double moment) const { return moment >= next_due_; }

    // The bars due at `moment`, taken out: a new list of bar dicts, by start, then by code.
    Ref take_due(double moment);

    // Every bar, taken out as take_due gives them; the spans are forgotten, so that the next
    // ticks (another phase's) may start anywhere in time.
    Ref take_all();

    // Adds a tick to its code's bar, once the bars due at its moment are taken out. Asks
    // session_span(code, moment) when the moment lies outside the code's span.
    // `price` is a number, `volume` an int.
    void add(PyObject* code, double moment, PyObject* price, PyObject* volume, bool is_backfilling);

    // The references the builder holds, for the garbage collector.
    int visit(visitproc visit, void* arg) const {
        Py_VISIT(session_span_.get());
        Py_VISIT(indexes_.get());
        Py_VISIT(codes_.get());
        return 0;
    }

private:
    // One code's span and the bar being built in it.
    struct Building {
        double origin = kInfinity, span_due = -kInfinity;  // the span; none at first
        bool is_open = false;             // a bar is being built
        double start = 0, end = 0, due = 0;
        double open = 0, high = 0, low = 0, close = 0;
        int64_t volume = 0, ticks = 0;
        bool is_backfilling = false;
    };

    size_t index_of(PyObject* code);
    void enter_span(size_t index, double moment);
    Ref bar_dict(size_t index) const;

    const BarNames& names_;
    double seconds_;
    Ref session_span_;
    Ref indexes_;  // dict: code -> its index in codes_ and building_
    Ref codes_;    // list of the codes met, in the order met
    std::vector<Building> building_;
    double next_due_;  // the earliest due of the bars being built
};

}  // namespace quorvel::replay
