// The entry point the fills door (fills.cpp) offers other extension modules: the road of a tick
// (the replay module) matches each tick through it without a Python call, with the tick's
// numbers as they are. It is published as the capsule quorvel.modules.matcher.fills._road_api.
#pragma once

#include "../extension_support/compat.hpp"

namespace quorvel {

inline constexpr const char* kFillsApiCapsule = "quorvel.modules.matcher.fills._road_api";

struct FillsApi {
    // Whether `object` is a QueueFills.
    bool (*is_fills)(PyObject* object);
    // fills.match(code, close, volume, timestamp, tick_type, bid_price, bid_volume, ask_price,
    // ask_volume) for a QueueFills `fills`: 0, or -1 with the Python error set.
    int (*match)(PyObject* fills, PyObject* code, double close, PyObject* volume, PyObject* timestamp,
                 long long tick_type, double bid_price, long long bid_volume, double ask_price, long long ask_volume);
};

}  // namespace quorvel
