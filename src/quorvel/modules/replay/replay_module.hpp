// The replay module's state: its names, the tick dict maker, the bars' keys and its two types.
#pragma once

#include "../extension_support/shared_state.hpp"
#include "../extension_support/tick_dict.hpp"
#include "bars.hpp"

namespace quorvel::replay {

// Every attribute, key and module-level name the module uses.
#define QUORVEL_REPLAY_NAMES(NAME, TEXT, TUPLE)                                                     \
    NAME(code) NAME(ts) NAME(close) NAME(qty) NAME(volume) NAME(tick_type) NAME(timestamp)            \
    NAME(is_backfilling) NAME(pl) NAME(DataFrame) NAME(Int64) NAME(Float64) NAME(String)             \
    NAME(bid_price) NAME(bid_volume) NAME(ask_price) NAME(ask_volume)             \
    NAME(format_nano_ts_to_second_ts)

struct Names {
    QUORVEL_REPLAY_NAMES(QUORVEL_NAME, QUORVEL_TEXT, QUORVEL_TUPLE)
};

// Made when the module body first runs, process-wide and never released.
struct State : SharedState {
    Names names;
    TickDicts tick_dicts{shared_names};
    BarNames bar_names;
    PyTypeObject* road_type = nullptr;
    PyTypeObject* bar_builder_type = nullptr;
};

extern State* state;

inline constexpr StateNames<state> names{};

}  // namespace quorvel::replay
