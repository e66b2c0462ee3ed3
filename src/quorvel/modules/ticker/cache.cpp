// The history tick cache: one CSV file per instrument and past day under sino/ticks of the data
// directory, filled by day-by-day downloads through the broker API.
#include "ticker_module.hpp"

namespace quorvel::ticker {

namespace {

Ref day_text(PyObject* day) { return call_method(day, names->strftime, names->day_format); }

// format_to_dt(text).date()
Ref date_of(PyObject* text) {
    return call_method(call(global(names->format_to_dt).get(), text).get(), names->date);
}


// One day of the broker's answer as a frame with the schema's columns, order and types. The
// broker does not always list its columns in the schema's order, and a frame built in its order
// neither concatenates with the others nor reads back correctly from the cache.
Ref day_frame(PyObject* self, PyObject* ticks) {
    if (ticks == Py_None) raise(PyExc_TypeError, "argument after ** must be a mapping, not NoneType");
    Ref answer = call(reinterpret_cast<PyObject*>(&PyDict_Type), ticks);
    Ref schema = getattr(self, names->tick_df_schema);
    Ref columns = new_dict();
    Ref columns_in_order = Ref::steal(PyObject_GetIter(schema.get()));
    while (Ref column = Ref::steal_or_null(PyIter_Next(columns_in_order.get()))) {
        PyObject* values = PyDict_GetItemWithError(answer.get(), column.get());
        if (values == nullptr) {
            if (!PyErr_Occurred())
                PyErr_SetObject(PyExc_ValueError, concat({"永豐 API 回傳的 Tick 資料缺少欄位: ", column}).get());
            throw_error_set();
        }
        setitem(columns.get(), column.get(), values);
    }
    if (PyErr_Occurred()) throw_error_set();
    return call_kw(global_attr(names->pl, names->DataFrame).get(), names->schema_kwnames, columns, schema);
}

// df.write_csv(file_path) through a temporary file in the same directory, renamed over the
// target: a failed or concurrent write never leaves a truncated cache file behind.
void write_atomically(PyObject* df, PyObject* file_path) {
    Ref os = global(names->os);
    Ref pid = call_method(os.get(), names->getpid);
    Ref thread_id = Ref::steal(PyLong_FromUnsignedLong(PyThread_get_thread_ident()));
    Ref temp_path = concat({file_path, ".", pid, "-", thread_id, ".tmp"});
    try {
        call_method(df, names->write_csv, temp_path);
        call_method(os.get(), names->replace, temp_path, file_path);
    } catch (const PyErrorSet&) {
        // Whatever stopped the write, the temporary file goes, then the error goes on.
        SavedError error = SavedError::take();
        bool removed = attempt([&] {
            if (is_true(call(getattr(global_attr(names->os, names->path).get(), names->exists).get(), temp_path).get()))
                call_method(global(names->os).get(), names->remove, temp_path);
        });
        if (!removed) PyErr_Clear();
        error.raise();
    }
}

// A past day is cached when it has ticks, or when it falls on a weekend. An empty weekday may be
// a holiday, but the broker also answers without ticks once its query quota is used up; caching
// it would lose that day's ticks for good, so it is asked for again next time.
bool worth_caching(PyObject* df, PyObject* day) {
    if (positive(row_count(df).get())) return true;
    Ref weekday = call_method(day, names->weekday);
    return PyLong_AsLong(weekday.get()) >= 5;
}

}  // namespace

Ref tick_filename_formatter(Self, Str code, Str date) { return concat({code, " ", date, " - ticks.csv"}); }

Ref make_sino_contract_object(Self self, Str code, Str market_type) {
    Ref contracts = getattr(getattr(self, names->api).get(), names->Contracts);
    PyObject* group = equals(market_type, names->Stock) ? names->Stocks : names->Futures;
    return getitem(getattr(contracts.get(), group).get(), code);
}

Ref fetch_sino_history_ticks(Self self, Str code, Object product_type, Str start_from, Str end_to) {
    Ref today = call_method(call_method(global_attr(names->dt, names->datetime).get(), names->now).get(), names->date);
    Ref current_date = date_of(start_from);
    Ref end_date = date_of(end_to);
    Ref contract = call_method(self, names->_Ticker__make_sino_contract_object, code, product_type);
    Ref all_df = call_kw(global_attr(names->pl, names->DataFrame).get(), names->schema_kwnames,
                         getattr(self, names->tick_df_schema));
    while (compare(current_date.get(), end_date.get(), Py_LE)) {
        Ref ticks = call_kw(getattr(getattr(self, names->api).get(), names->ticks).get(), names->ticks_kwnames,
                            contract, day_text(current_date.get()));
        Ref df = day_frame(self, ticks.get());
        if (positive(row_count(df.get()).get())) {
            Ref frames = Ref::steal(Py_BuildValue("[OO]", all_df.get(), df.get()));
            all_df = call(global_attr(names->pl, names->concat).get(), frames);
        }
        if (compare(current_date.get(), today.get(), Py_LT) && worth_caching(df.get(), current_date.get())) {
            Ref day = day_text(current_date.get());
            Ref file_name = call_method(self, names->_Ticker__tick_filename_formatter, code, day);
            Ref file_path = call_method(self, names->_Ticker__generate_save_path, file_name, names->sino_folder,
                                        names->ticks_folder);
            write_atomically(df.get(), file_path.get());
            console_print(module_ns, {"[green]下載 ", code, " ", day_text(current_date.get()), " 的 Tick 資料成功, 儲存於 ",
                                      file_path, "[/green]"});
        }
        current_date = Ref::steal(PyNumber_Add(current_date.get(), one_day().get()));
    }
    return all_df;
}

Ref auto_fetch_ticks(Self self, Str code, Str product_type, Str date) {
    Ref file_name = call_method(self, names->_Ticker__tick_filename_formatter, code, date);
    Ref file_path =
        call_method(self, names->_Ticker__generate_save_path, file_name, names->sino_folder, names->ticks_folder);
    Ref exists = call(getattr(global_attr(names->os, names->path).get(), names->exists).get(), file_path);
    Ref df;
    if (!is_true(exists.get())) {
        console_print(module_ns, {"[red]檔案 ", file_path, " 不存在, 開始下載歷史 Tick 資料...[/red]"});
        df = call_method(self, names->fetch_sino_history_ticks, code, product_type, date, date);
    } else {
        console_print(module_ns, {"[green]檔案 ", file_path, " 已存在, 開始讀取檔案...[/green]"});
        df = call_kw(global_attr(names->pl, names->read_csv).get(), names->schema_kwnames, file_path,
                     getattr(self, names->tick_df_schema));
    }
    Ref code_column = call_method(call(global_attr(names->pl, names->lit).get(), code).get(), names->alias, names->code);
    return call_method(df.get(), names->with_columns, code_column);
}

}  // namespace quorvel::ticker
