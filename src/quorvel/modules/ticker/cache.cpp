// The history tick cache: one CSV file per instrument and past day under sino/ticks of the data
// directory, filled by day-by-day downloads through the broker API. The file handling (checks of
// the broker's answer and of every file read, atomic writes, the manifest, setting corrupt files
// aside) is the sibling module quorvel.cache_files.
#include "ticker_module.hpp"

namespace quorvel::ticker {

namespace {

Ref day_text(PyObject* day) { return call_method(day, names->strftime, names->day_format); }

// format_to_dt(text).date()
Ref date_of(PyObject* text) {
    return call_method(call(global(names->format_to_dt).get(), text).get(), names->date);
}

// cache_files.<function>(*args): the cache's file handling, written once in Python.
template <class... Args>
Ref cache_files(PyObject* function, const Args&... args) {
    return call_method(global(names->cache_files).get(), function, args...);
}

// The cached day's frame, read and checked; or an empty Ref when the day is to be fetched again:
// the file failed its checks and was set aside (renamed, never deleted; reported here), or another
// run set it aside first.
Ref read_cached_day(PyObject* self, PyObject* file_path) {
    Ref df;
    catch_exception(
        [&] { df = cache_files(names->read_day, file_path, getattr(self, names->tick_df_schema)); },
        [&](HandledException& error) {
            if (!error.matches(global_attr(names->cache_files, names->CorruptCacheFile).get())) error.reraise();
            Ref moved_to = getattr(error.value(), names->moved_to);
            Ref data = new_dict();
            setitem(data.get(), names->file, file_path);
            setitem(data.get(), names->moved_to, moved_to.get());
            log_error_record(error, {{"data", data.get()}});
            console_print({"[red]檔案 ", file_path, " 已損毀: ", error.value(), ", 已移至 ", moved_to,
                           ", 重新下載歷史 Tick 資料...[/red]"});
        });
    if (df.get() == Py_None) return Ref();  // set aside by another run meanwhile
    return df;
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
        Ref df = cache_files(names->frame_from_answer, ticks, getattr(self, names->tick_df_schema), code,
                             day_text(current_date.get()));
        if (positive(row_count(df.get()).get())) {
            Ref frames = Ref::steal(Py_BuildValue("[OO]", all_df.get(), df.get()));
            all_df = call(global_attr(names->pl, names->concat).get(), frames);
        }
        if (compare(current_date.get(), today.get(), Py_LT) && worth_caching(df.get(), current_date.get())) {
            Ref day = day_text(current_date.get());
            Ref file_name = call_method(self, names->_Ticker__tick_filename_formatter, code, day);
            Ref file_path = call_method(self, names->_Ticker__generate_save_path, file_name, names->sino_folder,
                                        names->ticks_folder);
            cache_files(names->store_day, df, file_path);
            console_print({"[green]下載 ", code, " ", day_text(current_date.get()), " 的 Tick 資料成功, 儲存於 ",
                           file_path, "[/green]"});
        }
        current_date = Ref::steal(PyNumber_Add(current_date.get(), one_day().get()));
    }
    return all_df;
}

Ref day_ticks(PyObject* self, PyObject* code, PyObject* product_type, PyObject* date) {
    Ref file_name = call_method(self, names->_Ticker__tick_filename_formatter, code, date);
    Ref file_path =
        call_method(self, names->_Ticker__generate_save_path, file_name, names->sino_folder, names->ticks_folder);
    Ref exists = call(getattr(global_attr(names->os, names->path).get(), names->exists).get(), file_path);
    Ref df;
    if (is_true(exists.get())) {
        console_print({"[green]檔案 ", file_path, " 已存在, 開始讀取檔案...[/green]"});
        df = read_cached_day(self, file_path.get());
    } else {
        console_print({"[red]檔案 ", file_path, " 不存在, 開始下載歷史 Tick 資料...[/red]"});
    }
    if (!df) df = call_method(self, names->fetch_sino_history_ticks, code, product_type, date, date);
    return df;
}

Ref code_column(PyObject* code) {
    return call_method(call(global_attr(names->pl, names->lit).get(), code).get(), names->alias, names->code);
}

Ref auto_fetch_ticks(Self self, Str code, Str product_type, Str date) {
    Ref df = day_ticks(self, code, product_type, date);
    return call_method(df.get(), names->with_columns, code_column(code));
}

}  // namespace quorvel::ticker
