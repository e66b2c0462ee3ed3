// The historical tick feed: module body, names, the Ticker class table, its constructor and
// the path generator.
#include "ticker_module.hpp"

#include "../extension_support/fast_paths.hpp"

namespace quorvel::ticker {

State* state = nullptr;

void put_on(PyObject* self, PyObject* queue_attribute, PyObject* item) {
    call_method(getattr(self, queue_attribute).get(), names->put, item);
}

Ref status_dict(PyObject* member) {
    Ref status = new_dict();
    setitem(status.get(), names->darq_status, getattr(global_attr(names->FLAG, member).get(), names->value).get());
    return status;
}

void start_daemon_thread(PyObject* self, PyObject* method, PyObject* args) {
    Ref target = getattr(self, method);
    Ref thread = call_kw(global(names->Thread).get(), names->thread_kwnames, target, args, Py_True);
    record_feed_thread(self, thread.get());
    call_method(thread.get(), names->start);
}

Ref row_count(PyObject* df) {
    Ref shape = getattr(df, names->shape);
    Ref zero = Ref::steal(PyLong_FromLong(0));
    return getitem(shape.get(), zero.get());
}

bool positive(PyObject* count) {
    Ref zero = Ref::steal(PyLong_FromLong(0));
    return compare(count, zero.get(), Py_GT);
}

Ref one_day() {
    Ref one = Ref::steal(PyLong_FromLong(1));
    return call_kw(global(names->timedelta).get(), names->days_kwnames, one);
}

void init(Self self, Object sino_api) {
    setattr(self, names->api, sino_api);
    setattr(self, names->allow_next_tick_flag_queue, call(global_attr(names->queue, names->Queue).get()).get());
    put_on(self, names->allow_next_tick_flag_queue, Py_True);
    setattr(self, names->backfilling_notify_finish_queue,
            call(global_attr(names->queue, names->Queue).get()).get());
    setattr(self, names->backfilling_finish_flag, Py_False);
    setattr(self, names->exit_send_thread_flag, Py_False);
    setattr(self, names->tick_file_save_path,
            call_method(self, names->_Ticker__generate_save_path, names->ticks_folder).get());
    setattr(self, names->tick_queue, call(global_attr(names->queue, names->Queue).get()).get());
    setattr(self, names->code_market_map, new_dict().get());
    Ref schema = new_dict();
    const std::pair<PyObject*, PyObject*> columns[] = {
        {names->ts, names->Int64},         {names->close, names->Float64},
        {names->volume, names->Int64},     {names->bid_price, names->Float64},
        {names->bid_volume, names->Int64}, {names->ask_price, names->Float64},
        {names->ask_volume, names->Int64}, {names->tick_type, names->Int64}};
    for (const auto& [column, dtype] : columns) setitem(schema.get(), column, global_attr(names->pl, dtype).get());
    setattr(self, names->tick_df_schema, schema.get());
    setattr(self, names->current_send_ticks_params, new_dict().get());
}

Ref generate_save_path(Self, Str file_name, VarArgs sub_folder) {
    Ref join = getattr(global_attr(names->os, names->path).get(), names->join);
    Ref parts = Ref::steal(PyList_New(0));
    check_status(PyList_Append(parts.get(), global_attr(names->BASIC_INFO, names->data_dir).get()));
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(sub_folder.get()); ++i)
        check_status(PyList_Append(parts.get(), PyTuple_GET_ITEM(sub_folder.get(), i)));
    Ref join_args = Ref::steal(PyList_AsTuple(parts.get()));
    Ref dir_path = Ref::steal(PyObject_Call(join.get(), join_args.get(), nullptr));
    call(global(names->make_dir).get(), dir_path);
    if (file_name == Py_None) return dir_path;
    return call(join.get(), dir_path, file_name);
}

namespace {

const ClassInfo ticker_class = {"quorvel.modules.ticker.ticker", "Ticker", "src/quorvel/modules/ticker/ticker"};

constexpr Param init_params[] = {{"sino_api", "object"}};
constexpr Param save_path_params[] = {{"file_name", "str"}, {"sub_folder"}};
constexpr Param contract_params[] = {{"code", "str"}, {"market_type", "str"}};
constexpr Param filename_params[] = {{"code", "str"}, {"date", "str"}};
constexpr Param auto_fetch_params[] = {{"code", "str"}, {"product_type", "str"}, {"date", "str"}};
constexpr Param fetch_params[] = {
    {"code", "str"}, {"product_type", "Literal['Stock', 'Future']"}, {"start_from", "str"}, {"end_to", "str"}};
constexpr Param combine_params[] = {{"codes", "List[Dict[str, str]]"}, {"start_from", "str"}, {"end_to", "str"}};
constexpr Param ticks_df_params[] = {
    {"code", "str"}, {"market_type", "Literal['Stock', 'Future']"}, {"start_from", "str"}, {"end_to", "str"}};
constexpr Param send_params[] = {{"codes", "List[Dict[str, str]]"}, {"start_from", "str"}, {"end_to", "str"},
                                 {"backfilling_start_from", "str"}, {"backfilling_end_to", "str"}};
constexpr Param push_params[] = {{"df", "pl.DataFrame"}};

#define DOC_INDENT "        "
#define DOC_ENTRY "            "
#define ARGS "\n\n" DOC_INDENT "Args:\n"
#define RETURNS "\n" DOC_INDENT "Returns:\n"
#define CODES_ENTRY                                                                                  \
    DOC_ENTRY "codes (List[Dict[str, str]]): 商品代號與市場別的對應關係, 例如 [{'code': '2330', 'market': " \
              "'Stock'}, {'code': 'TXFR1', 'market': 'Future'}]\n"
#define PERIOD_ENTRIES DOC_ENTRY "start_from (str): 開始時間\n" DOC_ENTRY "end_to (str): 結束時間\n"

constexpr MethodEntry ticker_methods[] = {
    method<init, init_params>({.name = "__init__",
        .doc = "Ticker Module Constructor" ARGS DOC_ENTRY "sino_api (object): 永豐 API 物件\n" DOC_INDENT}),
    method<generate_save_path, save_path_params>({.name = "__generate_save_path", .ndefaults = 1,
        .doc = "產生檔案儲存路徑" ARGS DOC_ENTRY "file_name (str): 檔案名稱, 預設為 None, 為 None 時不會產生檔案名稱\n"
               RETURNS DOC_ENTRY "str: 檔案路徑\n" DOC_INDENT,
        .return_annotation = "str", .result = ResultType::Str}),
    method<make_sino_contract_object, contract_params>({.name = "__make_sino_contract_object",
        .doc = "建立永豐用的商品物件" ARGS DOC_ENTRY "code (str): 商品代碼\n" DOC_ENTRY "market_type (str): 市場別\n"
               RETURNS DOC_ENTRY "sj.contracts.Contract: 永豐商品物件\n" DOC_INDENT,
        .return_annotation = "sj.contracts.Contract"}),
    method<tick_filename_formatter, filename_params>({.name = "__tick_filename_formatter",
        .doc = "Tick 檔案名稱格式化" ARGS DOC_ENTRY "code (str): 商品代號\n" DOC_ENTRY "date (str): 日期\n"
               RETURNS DOC_ENTRY "str: 格式化後的檔案名稱\n" DOC_INDENT}),
    method<auto_fetch_ticks, auto_fetch_params>({.name = "__auto_fetch_ticks",
        .doc = "自動取得歷史 Tick 資料" ARGS DOC_ENTRY "code (str): 商品代號\n" DOC_ENTRY "product_type (str): 商品類型\n"
               DOC_ENTRY "date (str): 日期\n"
               RETURNS DOC_ENTRY "pl.DataFrame: 永豐 API 回傳的歷史 Tick 資料或者從已下載檔案讀取的資料\n" DOC_INDENT,
        .return_annotation = "pl.DataFrame"}),
    method<fetch_sino_history_ticks, fetch_params>({.name = "fetch_sino_history_ticks",
        .doc = "從永豐 API 下載歷史 Tick 資料" ARGS DOC_ENTRY "code (str): 股票代號\n"
               DOC_ENTRY "product_type (Literal[\"Stock\", \"Future\"]): 股票類型\n"
               DOC_ENTRY "start_from (str): 開始日期\n" DOC_ENTRY "end_to (str): 結束日期\n"
               RETURNS DOC_ENTRY "all_df (pl.DataFrame): 永豐 API 回傳的歷史 Tick 資料\n" DOC_INDENT,
        .return_annotation = "pl.DataFrame"}),
    method<process_and_combine_ticks, combine_params>({.name = "__process_and_combine_ticks",
        .doc = "處理與合併 Tick 資料" ARGS CODES_ENTRY PERIOD_ENTRIES RETURNS DOC_ENTRY "pl.DataFrame: 合併後的 Tick 資料\n" DOC_INDENT,
        .return_annotation = "pl.DataFrame"}),
    method<notify_backfilling_finish>({.name = "__notify_backfilling_finish", .doc = "通知回補資料已經完成"}),
    method<get_ticks_df, ticks_df_params>({.name = "get_ticks_df",
        .doc = "取得指定商品的 Tick 資料" ARGS DOC_ENTRY "code (str): 商品代號\n"
               DOC_ENTRY "market_type (Literal['Stock', 'Future']): 市場類型\n" PERIOD_ENTRIES
               RETURNS DOC_ENTRY "pl.DataFrame: 指定商品的 Tick 資料\n" DOC_INDENT,
        .return_annotation = "pl.DataFrame"}),
    method<send_ticks, send_params>({.name = "send_ticks", .ndefaults = 2,
        .doc = "逐筆傳送 Tick 資料" ARGS CODES_ENTRY PERIOD_ENTRIES
               DOC_ENTRY "backfilling_start_from (str, optional): 回補開始時間. Defaults to None.\n"
               DOC_ENTRY "backfilling_end_to (str, optional): 回補結束時間. Defaults to None.\n" DOC_INDENT}),
    method<backfilling, combine_params>({.name = "backfilling", .ndefaults = 2,
        .doc = "回補 Tick 資料" ARGS CODES_ENTRY PERIOD_ENTRIES DOC_INDENT}),
    method<push_tick_to_queue, push_params>({.name = "__push_tick_to_queue",
        .doc = "將 Tick 資料逐筆寫入 Queue" ARGS DOC_ENTRY "df (pl.DataFrame): Tick 資料\n" DOC_INDENT}),
    method<pop_tick>({.name = "pop_tick",
        .doc = "從 Queue 中取出 Tick 資料\n\n" DOC_INDENT "Returns:\n" DOC_ENTRY "dict: Tick 資料\n" DOC_INDENT,
        .return_annotation = "dict", .result = ResultType::Dict}),
    method<allow_next_tick>({.name = "allow_next_tick", .doc = "允許傳送下一筆 Tick 資料"}),
    method<stop_send_ticks>({.name = "stop_send_ticks", .doc = "停止傳送 Tick 資料"}),
};

#undef DOC_INDENT
#undef DOC_ENTRY
#undef ARGS
#undef RETURNS
#undef CODES_ENTRY
#undef PERIOD_ENTRIES

// The module body: the namespace bindings in order, then the class.
void exec_ticker(PyObject* module) {
    if (state == nullptr) state = new State();
    ModuleNamespace& ns = state->ns;
    ns.bind(module);
    ns.import_module("json", "json");
    ns.import_module("os", "os");
    ns.import_module("polars", "pl");
    ns.import_module("queue", "queue");
    ns.import_module("shioaji", "sj");
    ns.import_module("time", "time");
    ns.import_module("traceback", "traceback");
    ns.import_module("datetime", "dt");
    ns.import_from("datetime", {"timedelta"});
    ns.import_from("threading", {"Thread"});
    ns.import_from("typing", {"Dict", "List", "Literal"});
    ns.import_from("quorvel.constant", {"BASIC_INFO", "FLAG"});
    ns.import_module("quorvel.cache.day_files", "cache_files");
    ns.import_from("quorvel.utils", {"console", "format_to_dt", "format_nano_ts_to_second_ts", "logger", "make_dir"});
    capture_timestamp_formatter(global(names->format_nano_ts_to_second_ts).get());
    capture_row_iteration();
    Ref ticker = make_class(ticker_class, ticker_methods);
    state->ticker_class = Py_NewRef(ticker.get());
    state->own_auto_fetch_ticks =
        Py_NewRef(_PyType_Lookup(reinterpret_cast<PyTypeObject*>(ticker.get()), names->_Ticker__auto_fetch_ticks));
    ns.set("Ticker", ticker.get());
    register_exit_hook();
}

ModuleLoader loader = {"ticker", "quorvel.modules.ticker.ticker", "src/quorvel/modules/ticker/ticker", exec_ticker};

}  // namespace
}  // namespace quorvel::ticker

quorvel::SharedState& quorvel::shared_state() { return *ticker::state; }

PyMODINIT_FUNC PyInit_ticker() { return quorvel::init_module<quorvel::ticker::loader>(); }
