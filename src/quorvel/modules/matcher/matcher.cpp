// The simulated exchange: module body, names and the Matcher class table.
#include "matcher_module.hpp"

#include "../extension_support/method.hpp"

#include <string>

namespace quorvel::matcher {

State* state = nullptr;

namespace {

const ClassInfo matcher_class = {"quorvel.modules.matcher.matcher", "Matcher",
                                 "src/quorvel/modules/matcher/matcher"};

}  // namespace

CatchSite in_method(const char* method, std::source_location where) {
    return {std::string(matcher_class.module_name) + "." + matcher_class.class_name + "." + method,
            matcher_class.source_file, static_cast<int>(where.line())};
}

namespace {

// add_order's last three defaults, read from the constants when the class is created.
Ref add_order_defaults() {
    Ref defaults = Ref::steal(PyTuple_New(3));
    const std::pair<PyObject*, PyObject*> sources[] = {
        {names->OrderCond, names->CASH}, {names->OrderLot, names->COMMON}, {names->OCType, names->AUTO}};
    Py_ssize_t index = 0;
    for (const auto& [enumeration, member] : sources) {
        Ref value = getattr(global_attr(enumeration, member).get(), names->value);
        if (!PyUnicode_CheckExact(value.get())) check_result_type(value.get(), &PyUnicode_Type);
        PyTuple_SET_ITEM(defaults.get(), index++, value.release());
    }
    return defaults;
}

constexpr Param positions_params[] = {{"positions", "Positions"}};
constexpr Param code_params[] = {{"code", "str"}};
constexpr Param tick_params[] = {{"tick", "dict"}};
constexpr Param add_order_params[] = {
    {"code", "str"},     {"product_type", "str"}, {"action", "str"},     {"price", "float"},
    {"qty", "int"},      {"price_type", "str"},   {"order_type", "str"}, {"order_cond", "str"},
    {"order_lot", "str"}, {"oc_type", "str"},
};
constexpr Param modify_order_params[] = {{"trade_id", "str"}, {"qty", "int"}, {"price", "float"}};
constexpr Param trade_id_params[] = {{"trade_id", "str"}};
constexpr Param match_deal_params[] = {
    {"code", "str"}, {"tick_close", "float"}, {"tick_qty", "int"}, {"tick_ts", "float"}};
constexpr Param build_order_params[] = {
    {"trade", "dict"}, {"operation_type", "OperationType"}, {"code_obj", "SuccessCode"}};
constexpr Param trade_params[] = {{"trade", "dict"}};
constexpr Param data_params[] = {{"data", "Dict[str, Any]"}};
constexpr Param intake_params[] = {{"action", "str"}, {"payload", "Dict[str, Any]"}};
constexpr Param response_params[] = {{"response", "Dict[str, Any]"}};
constexpr Param close_params[] = {{"timeout", "float"}};

Ref close_defaults() { return tuple(new_float(5.0)); }

#define DOC_INDENT "        "
#define DOC_ENTRY "            "
// The row of a report layout builder: data in, a dict out.
#define LAYOUT_ROW(impl, summary, returns)                                                                 \
    method<impl, data_params>({                                                                             \
        .name = #impl,                                                                                     \
        .doc = summary "\n\n" DOC_INDENT "Args:\n" DOC_ENTRY "data (Dict[str, Any]): 回報資料\n" DOC_INDENT "\n" \
               DOC_INDENT "Returns:\n" DOC_ENTRY "Dict[str, Any]: " returns "\n" DOC_INDENT,                  \
        .return_annotation = "Dict[str, Any]",                                                             \
        .result = ResultType::Dict,                                                                        \
    })

constexpr MethodEntry matcher_methods[] = {
    method<init, positions_params>({.name = "__init__", .ndefaults = 1,
        .doc = "Matcher Module Constructor\n" DOC_INDENT "\n" DOC_INDENT "Args:\n" DOC_ENTRY
               "positions (Positions, optional): Positions Module. Defaults to None.\n" DOC_INDENT}),
    method<init_current_tick_info, code_params>({.name = "__init_current_tick_info", .doc = "初始化當前 Tick 資訊"}),
    method<get_random_uuid>({.name = "__get_random_uuid", .doc = "產生隨機的 UUID"}),
    method<receive_pending_order>({.name = "__receive_pending_order", .doc = "接收委託單"}),
    method<reset_tick_infos>({.name = "reset_tick_infos", .doc = "重置當前 Tick 資訊"}),
    method<set_current_tick, tick_params>({.name = "set_current_tick", .doc = "設置當前的 Tick"}),
    method<add_order, add_order_params>({.name = "add_order", .ndefaults = 3, .defaults = add_order_defaults,
        .doc = "新增委託單到待成交列表\n\n" DOC_INDENT "Args:\n"
               DOC_ENTRY "code (str): 商品代碼\n"
               DOC_ENTRY "product_type (str): 商品類型\n"
               DOC_ENTRY "action (str): 買賣方向\n"
               DOC_ENTRY "price (float): 價格\n"
               DOC_ENTRY "qty (int): 數量\n"
               DOC_ENTRY "price_type (str): 價格類型\n"
               DOC_ENTRY "order_type (str): 委託類型\n"
               DOC_ENTRY "order_cond (str, optional): 委託條件. Defaults to None.\n"
               DOC_ENTRY "order_lot (str, optional): 委託批號. Defaults to None.\n"
               DOC_ENTRY "oc_type (str, optional): OC 類型. Defaults to None.\n" DOC_INDENT}),
    method<modify_order, modify_order_params>({.name = "modify_order", .ndefaults = 2,
        .doc = "修改委託單的數量或價格\n" DOC_INDENT "1. 如果只提供數量，則修改數量\n\n" DOC_INDENT "Args:\n"
               DOC_ENTRY "trade_id (str): 委託單 ID\n"
               DOC_ENTRY "qty (int, optional): 刪減的數量. Defaults to None.\n"
               DOC_ENTRY "price (float, optional): 修改的價格. Defaults to None.\n"
               DOC_INDENT "\n" DOC_INDENT "Raises:\n"
               DOC_ENTRY "Exception: 如果數量和價格都沒有提供\n"
               DOC_ENTRY "Exception: 如果修改的數量大於原本的數量\n"
               DOC_ENTRY "Exception: 如果修改的價格小於等於 0\n" DOC_INDENT}),
    method<cancel_order, trade_id_params>({.name = "cancel_order",
        .doc = "取消委託單\n\n" DOC_INDENT "Args:\n" DOC_ENTRY "trade_id (str): 委託單 ID\n" DOC_INDENT}),
    method<match_deal, match_deal_params>({.name = "match_deal",
        .doc = "模擬搓合\n\n" DOC_INDENT "Args:\n"
               DOC_ENTRY "code (str): 商品代碼\n"
               DOC_ENTRY "tick_close (float): Tick 價格\n"
               DOC_ENTRY "tick_qty (int): Tick 數量\n"
               DOC_ENTRY "tick_ts (float): Tick 時間戳\n" DOC_INDENT}),
    method<build_order_response, build_order_params>({.name = "build_order_response",
        .doc = "建立委託回報\n" DOC_INDENT "\n" DOC_INDENT "Args:\n"
               DOC_ENTRY "trade (dict): 委託單資料\n"
               DOC_ENTRY "operation_type (OperationType): 操作類型\n"
               DOC_ENTRY "code_obj (SuccessCode): 回報代碼\n"
               DOC_INDENT "\n" DOC_INDENT "Returns:\n" DOC_ENTRY "Dict[str, Any]: 委託回報資料\n" DOC_INDENT}),
    method<build_deal_response, trade_params>({.name = "build_deal_response",
        .doc = "建立委託回報\n" DOC_INDENT "\n" DOC_INDENT "Args:\n" DOC_ENTRY "trade (dict): 委託單資料\n"
               DOC_INDENT "\n" DOC_INDENT "Returns:\n" DOC_ENTRY "Dict[str, Any]: 委託回報資料\n" DOC_INDENT}),
    LAYOUT_ROW(get_simulation_stock_order_response, "建立模擬股票訂單的委託回報(比照 DARQ 下單模組委託回報格式)", "模擬股票訂單的委託回報"),
    LAYOUT_ROW(get_simulation_future_order_response, "建立模擬期貨訂單的委託回報(比照 DARQ 下單模組委託回報格式)", "模擬期貨訂單的委託回報"),
    LAYOUT_ROW(get_simulation_stock_deal_response, "建立模擬股票訂單的成交回報(比照 DARQ 下單模組委託回報格式)", "模擬股票訂單的委託回報"),
    LAYOUT_ROW(get_simulation_future_deal_response, "建立模擬期貨訂單的成交回報(比照 DARQ 下單模組委託回報格式)", "模擬期貨訂單的委託回報"),
    method<pop_response>({.name = "pop_response",
        .doc = "從回報佇列中取出回報資料\n\n" DOC_INDENT "Returns:\n" DOC_ENTRY "Dict[str, Any]: 回報資料\n" DOC_INDENT,
        .return_annotation = "Dict[str, Any]", .result = ResultType::Dict}),
    method<add_pending_order_queue, intake_params>({.name = "add_pending_order_queue",
        .doc = "將委託單加入待成交佇列\n\n" DOC_INDENT "Args:\n" DOC_ENTRY "action (str): 操作類型\n" DOC_ENTRY
               "payload (Dict[str, Any]): 委託單資料\n" DOC_INDENT}),
    method<add_response_to_queue, response_params>({.name = "add_response_to_queue",
        .doc = "將回報資料加入回報佇列\n\n" DOC_INDENT "Args:\n" DOC_ENTRY "response (Dict[str, Any]): 回報資料\n" DOC_INDENT}),
    method<close, close_params>({.name = "close", .ndefaults = 1, .defaults = close_defaults,
        .doc = "停止接收委託單的執行緒, 已送入的委託單先處理完畢\n\n" DOC_INDENT "Args:\n" DOC_ENTRY
               "timeout (float, optional): 等待執行緒結束的秒數. Defaults to 5.0.\n" DOC_INDENT "\n" DOC_INDENT
               "Returns:\n" DOC_ENTRY "bool: 執行緒是否已結束\n" DOC_INDENT,
        .return_annotation = "bool"}),
};

#undef LAYOUT_ROW
#undef DOC_INDENT
#undef DOC_ENTRY

// The module body: the namespace bindings in order, then the class.
void exec_matcher(PyObject* module) {
    if (state == nullptr) state = new State();
    ModuleNamespace& ns = state->ns;
    ns.bind(module);
    ns.import_module("copy", "copy");
    ns.import_module("json", "json");
    ns.import_module("queue", "queue");
    ns.import_module("traceback", "traceback");
    ns.import_from("datetime", {"datetime"});
    ns.import_from("nanoid", {"generate"});
    ns.import_from("threading", {"Thread"});
    ns.import_from("typing", {"Any", "Dict", "Union"});
    ns.import_from("quorvel.constant", {"Action", "OperationType", "OrderType", "OrderCond", "OrderLot", "PriceType",
                                        "OCType", "SuccessCode"});
    ns.import_from("quorvel.utils", {"console", "logger"});
    ns.import_from("quorvel.modules.positions.positions", {"Positions"});
    fast_paths::capture_copy(global(names->copy).get());
    for (PyObject* enumeration : {names->Action, names->OperationType, names->OrderType, names->OrderCond,
                                  names->OrderLot, names->PriceType, names->OCType, names->SuccessCode})
        fast_paths::capture_enumeration(global(enumeration).get());
    capture_position_keeper();
    Ref matcher = make_class(matcher_class, matcher_methods);
    state->matcher_class = reinterpret_cast<PyTypeObject*>(Py_NewRef(matcher.get()));
    ns.set("Matcher", matcher.get());
}

ModuleLoader loader = {"matcher", "quorvel.modules.matcher.matcher", "src/quorvel/modules/matcher/matcher",
                      exec_matcher};

}  // namespace
}  // namespace quorvel::matcher

quorvel::SharedState& quorvel::shared_state() { return *matcher::state; }

PyMODINIT_FUNC PyInit_matcher() { return quorvel::init_module<quorvel::matcher::loader>(); }
