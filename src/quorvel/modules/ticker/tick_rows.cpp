// The rows of a tick frame, each made into the tick dictionary.
#include "ticker_module.hpp"

#include "../extension_support/fast_paths.hpp"

namespace quorvel::ticker {

namespace {

// Whether df.iter_rows(named=True) would give what the column lists give: an exact DataFrame
// whose iter_rows is the one bound at import, with the tick columns in the types of the cache.
bool reads_by_columns(PyObject* df) {
    Ref frame_type = global_attr(names->pl, names->DataFrame);
    if (reinterpret_cast<PyObject*>(Py_TYPE(df)) != frame_type.get() ||
        !fast_paths::function_unchanged(_PyType_Lookup(Py_TYPE(df), names->iter_rows)))
        return false;
    Ref attributes = Ref::steal_or_null(PyObject_GenericGetDict(df, nullptr));
    if (!attributes) throw_error_set();
    if (PyDict_GetItemWithError(attributes.get(), names->iter_rows) != nullptr || PyErr_Occurred()) return false;
    Ref int64 = global_attr(names->pl, names->Int64);
    Ref float64 = global_attr(names->pl, names->Float64);
    Ref string = global_attr(names->pl, names->String);
    return ColumnReader::suits(df, frame_type.get(),
                               {{names->code, string.get()}, {names->ts, int64.get()}, {names->close, float64.get()},
                                {names->volume, int64.get()}, {names->tick_type, int64.get()}});
}

}  // namespace

void capture_row_iteration() {
    Ref polars = global(names->pl);
    Ref data_frame = getattr(polars.get(), names->DataFrame);
    if (PyType_Check(data_frame.get()))
        fast_paths::capture_function(_PyType_Lookup(reinterpret_cast<PyTypeObject*>(data_frame.get()), names->iter_rows), {});
}

bool TickRows::advance() {
    if (!started_) {
        started_ = true;
        if (reads_by_columns(df_)) {
            columns_.open(df_, {names->code, names->ts, names->close, names->volume, names->tick_type});
        } else {
            Ref rows = call_kw(getattr(df_, names->iter_rows).get(), names->named_kwnames, Py_True);
            rows_ = Ref::steal(PyObject_GetIter(rows.get()));
        }
    }
    if (columns_.is_open()) return columns_.next();
    row_ = Ref::steal_or_null(PyIter_Next(rows_.get()));
    if (!row_ && PyErr_Occurred()) throw_error_set();
    return static_cast<bool>(row_);
}

namespace {

// A row of df.iter_rows(named=True), each value read (row[column]) when the tick asks for it.
struct NamedRow {
    PyObject* row;
    Ref code() const { return getitem(row, names->code); }
    Ref ts() const { return getitem(row, names->ts); }
    Ref close() const { return getitem(row, names->close); }
    Ref volume() const { return getitem(row, names->volume); }
    Ref tick_type() const { return getitem(row, names->tick_type); }
};

}  // namespace

Ref TickRows::tick(PyObject* self, bool is_backfilling) const {
    Ref market_map = getattr(self, names->code_market_map);
    auto formatter = [] { return global(names->format_nano_ts_to_second_ts); };
    if (!columns_.is_open()) return state->tick_dicts.make(market_map.get(), NamedRow{row_.get()}, formatter, is_backfilling);
    TickRow row(columns_.value(names->code), columns_.value(names->ts), columns_.value(names->close),
                columns_.value(names->volume), columns_.value(names->tick_type));
    return state->tick_dicts.make(market_map.get(), row, formatter, is_backfilling);
}

}  // namespace quorvel::ticker
