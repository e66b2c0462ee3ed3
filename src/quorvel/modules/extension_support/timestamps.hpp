// A tick's "timestamp": quorvel.utils.format_nano_ts_to_second_ts(ts, 8), computed natively for
// every exact int that fits 64 bits while the name the caller reads still resolves to that
// function, unchanged; called for real otherwise.
#pragma once

#include "call.hpp"

#include <cstdint>

namespace quorvel {

// Records `function` (the utilities' format_nano_ts_to_second_ts, as the module body finds it)
// for tick_timestamp to recognise; called when a module body runs.
void capture_timestamp_formatter(PyObject* function);

// The double format_nano_ts_to_second_ts(ts, 8) returns, for any 64-bit ts.
double nano_to_second_ts(int64_t ts);

// formatter(ts, 8), `formatter` being what the caller's name resolves to now (new reference).
Ref tick_timestamp(PyObject* formatter, PyObject* ts);
inline Ref tick_timestamp(PyObject* formatter, const Ref& ts) { return tick_timestamp(formatter, ts.get()); }

// formatter(ts, 8) for a ts read as an int64, which Python sees as the int of that value.
Ref tick_timestamp(PyObject* formatter, int64_t ts);

}  // namespace quorvel
