#include "tick_dict.hpp"

namespace quorvel {

TickDicts::TickDicts(const SharedNames& names) : names_(names) {
    const SharedNames& n = names;
    for (bool is_backfilling : {false, true}) {
        Ref tick = new_dict(8);
        for (PyObject* key : {n.market_type, n.timestamp, n.code, n.close, n.qty, n.tick_type})
            setitem(tick.get(), key, Py_None);
        setitem(tick.get(), n.is_simulate, Py_False);
        setitem(tick.get(), n.is_backfilling, is_backfilling ? Py_True : Py_False);
        phase_[is_backfilling ? 1 : 0] = tick.release();
    }
}

}  // namespace quorvel
