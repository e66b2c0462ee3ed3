// The simulated exchange: module body, names and the Matcher class table.
#include "matcher_module.hpp"

#include "../extension_support/method.hpp"

#include <string>

namespace quorvel::matcher {

const Names* names = nullptr;
ModuleNamespace module_ns;

void make_names() {
    if (names != nullptr) return;
    auto* made = new Names();
#define QUORVEL_MAKE_NAME(name) made->name = check(PyUnicode_InternFromString(#name));
    QUORVEL_MATCHER_NAMES(QUORVEL_MAKE_NAME)
#undef QUORVEL_MAKE_NAME
    made->thread_kwnames = check(Py_BuildValue("(ss)", "target", "daemon"));
    made->size_kwnames = check(Py_BuildValue("(s)", "size"));
    made->trade_record_kwnames = check(Py_BuildValue("(sssssss)", "trade_id", "code", "action", "quantity",
                                                     "price", "timestamp", "trade_status"));
    names = made;
}

namespace {

const ClassInfo matcher_class = {"quorvel.modules.matcher.matcher", "Matcher",
                                 "src/quorvel/modules/matcher/matcher"};

}  // namespace

void add_method_traceback(const char* method, int line) {
    std::string function = std::string(matcher_class.module_name) + "." + matcher_class.class_name + "." + method;
    add_traceback(function.c_str(), matcher_class.source_file, line);
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

constexpr Param positions_params[] = {{"positions", ArgType::Object, "Positions"}};
constexpr Param code_params[] = {{"code", ArgType::Str, "str"}};
constexpr Param tick_params[] = {{"tick", ArgType::Dict, "dict"}};
constexpr Param add_order_params[] = {
    {"code", ArgType::Str, "str"},          {"product_type", ArgType::Str, "str"},
    {"action", ArgType::Str, "str"},        {"price", ArgType::Float, "float"},
    {"qty", ArgType::Int, "int"},           {"price_type", ArgType::Str, "str"},
    {"order_type", ArgType::Str, "str"},    {"order_cond", ArgType::Str, "str"},
    {"order_lot", ArgType::Str, "str"},     {"oc_type", ArgType::Str, "str"},
};
constexpr Param modify_order_params[] = {{"trade_id", ArgType::Str, "str"},
                                         {"qty", ArgType::Int, "int"},
                                         {"price", ArgType::FloatOrNone, "float"}};
constexpr Param trade_id_params[] = {{"trade_id", ArgType::Str, "str"}};
constexpr Param match_deal_params[] = {{"code", ArgType::Str, "str"},
                                       {"tick_close", ArgType::Float, "float"},
                                       {"tick_qty", ArgType::Int, "int"},
                                       {"tick_ts", ArgType::Float, "float"}};
constexpr Param build_order_params[] = {{"trade", ArgType::Dict, "dict"},
                                        {"operation_type", ArgType::Object, "OperationType"},
                                        {"code_obj", ArgType::Object, "SuccessCode"}};
constexpr Param trade_params[] = {{"trade", ArgType::Dict, "dict"}};
constexpr Param data_params[] = {{"data", ArgType::Dict, "Dict[str, Any]"}};
constexpr Param intake_params[] = {{"action", ArgType::Str, "str"},
                                   {"payload", ArgType::Dict, "Dict[str, Any]"}};
constexpr Param response_params[] = {{"response", ArgType::Dict, "Dict[str, Any]"}};

#define DOC_INDENT "        "
#define DOC_ENTRY "            "

const MethodEntry matcher_methods[] = {
    {"__init__", "__init__", positions_params, 1, nullptr,
     "Matcher Module Constructor\n" DOC_INDENT "\n" DOC_INDENT "Args:\n" DOC_ENTRY
     "positions (Positions, optional): Positions Module. Defaults to None.\n" DOC_INDENT,
     nullptr, ResultType::Any, init, __LINE__},
    {"_Matcher__init_current_tick_info", "__init_current_tick_info", code_params, 0, nullptr,
     "初始化當前 Tick 資訊", nullptr, ResultType::Any, init_current_tick_info, __LINE__},
    {"_Matcher__get_random_uuid", "__get_random_uuid", {}, 0, nullptr, "產生隨機的 UUID", nullptr,
     ResultType::Any, get_random_uuid, __LINE__},
    {"_Matcher__receive_pending_order", "__receive_pending_order", {}, 0, nullptr, "接收委託單",
     nullptr, ResultType::Any, receive_pending_order, __LINE__},
    {"reset_tick_infos", "reset_tick_infos", {}, 0, nullptr, "重置當前 Tick 資訊", nullptr,
     ResultType::Any, reset_tick_infos, __LINE__},
    {"set_current_tick", "set_current_tick", tick_params, 0, nullptr, "設置當前的 Tick", nullptr,
     ResultType::Any, set_current_tick, __LINE__},
    {"add_order", "add_order", add_order_params, 3, add_order_defaults,
     "新增委託單到待成交列表\n\n" DOC_INDENT "Args:\n"
     DOC_ENTRY "code (str): 商品代碼\n"
     DOC_ENTRY "product_type (str): 商品類型\n"
     DOC_ENTRY "action (str): 買賣方向\n"
     DOC_ENTRY "price (float): 價格\n"
     DOC_ENTRY "qty (int): 數量\n"
     DOC_ENTRY "price_type (str): 價格類型\n"
     DOC_ENTRY "order_type (str): 委託類型\n"
     DOC_ENTRY "order_cond (str, optional): 委託條件. Defaults to None.\n"
     DOC_ENTRY "order_lot (str, optional): 委託批號. Defaults to None.\n"
     DOC_ENTRY "oc_type (str, optional): OC 類型. Defaults to None.\n" DOC_INDENT,
     nullptr, ResultType::Any, add_order, __LINE__},
    {"modify_order", "modify_order", modify_order_params, 2, nullptr,
     "修改委託單的數量或價格\n" DOC_INDENT "1. 如果只提供數量，則修改數量\n\n" DOC_INDENT "Args:\n"
     DOC_ENTRY "trade_id (str): 委託單 ID\n"
     DOC_ENTRY "qty (int, optional): 刪減的數量. Defaults to None.\n"
     DOC_ENTRY "price (float, optional): 修改的價格. Defaults to None.\n"
     DOC_INDENT "\n" DOC_INDENT "Raises:\n"
     DOC_ENTRY "Exception: 如果數量和價格都沒有提供\n"
     DOC_ENTRY "Exception: 如果修改的數量大於原本的數量\n"
     DOC_ENTRY "Exception: 如果修改的價格小於等於 0\n" DOC_INDENT,
     nullptr, ResultType::Any, modify_order, __LINE__},
    {"cancel_order", "cancel_order", trade_id_params, 0, nullptr,
     "取消委託單\n\n" DOC_INDENT "Args:\n" DOC_ENTRY "trade_id (str): 委託單 ID\n" DOC_INDENT, nullptr,
     ResultType::Any, cancel_order, __LINE__},
    {"match_deal", "match_deal", match_deal_params, 0, nullptr,
     "模擬搓合\n\n" DOC_INDENT "Args:\n"
     DOC_ENTRY "code (str): 商品代碼\n"
     DOC_ENTRY "tick_close (float): Tick 價格\n"
     DOC_ENTRY "tick_qty (int): Tick 數量\n"
     DOC_ENTRY "tick_ts (float): Tick 時間戳\n" DOC_INDENT,
     nullptr, ResultType::Any, match_deal, __LINE__},
    {"build_order_response", "build_order_response", build_order_params, 0, nullptr,
     "建立委託回報\n" DOC_INDENT "\n" DOC_INDENT "Args:\n"
     DOC_ENTRY "trade (dict): 委託單資料\n"
     DOC_ENTRY "operation_type (OperationType): 操作類型\n"
     DOC_ENTRY "code_obj (SuccessCode): 回報代碼\n"
     DOC_INDENT "\n" DOC_INDENT "Returns:\n" DOC_ENTRY "Dict[str, Any]: 委託回報資料\n" DOC_INDENT,
     nullptr, ResultType::Any, build_order_response, __LINE__},
    {"build_deal_response", "build_deal_response", trade_params, 0, nullptr,
     "建立委託回報\n" DOC_INDENT "\n" DOC_INDENT "Args:\n" DOC_ENTRY "trade (dict): 委託單資料\n"
     DOC_INDENT "\n" DOC_INDENT "Returns:\n" DOC_ENTRY "Dict[str, Any]: 委託回報資料\n" DOC_INDENT,
     nullptr, ResultType::Any, build_deal_response, __LINE__},
#define LAYOUT_DOC(summary, returns)                                                      \
    summary "\n\n" DOC_INDENT "Args:\n" DOC_ENTRY "data (Dict[str, Any]): 回報資料\n" DOC_INDENT \
            "\n" DOC_INDENT "Returns:\n" DOC_ENTRY returns "\n" DOC_INDENT
    {"get_simulation_stock_order_response", "get_simulation_stock_order_response", data_params, 0,
     nullptr,
     LAYOUT_DOC("建立模擬股票訂單的委託回報(比照 DARQ 下單模組委託回報格式)",
                "Dict[str, Any]: 模擬股票訂單的委託回報"),
     "Dict[str, Any]", ResultType::Dict, get_simulation_stock_order_response, __LINE__},
    {"get_simulation_future_order_response", "get_simulation_future_order_response", data_params, 0,
     nullptr,
     LAYOUT_DOC("建立模擬期貨訂單的委託回報(比照 DARQ 下單模組委託回報格式)",
                "Dict[str, Any]: 模擬期貨訂單的委託回報"),
     "Dict[str, Any]", ResultType::Dict, get_simulation_future_order_response, __LINE__},
    {"get_simulation_stock_deal_response", "get_simulation_stock_deal_response", data_params, 0,
     nullptr,
     LAYOUT_DOC("建立模擬股票訂單的成交回報(比照 DARQ 下單模組委託回報格式)",
                "Dict[str, Any]: 模擬股票訂單的委託回報"),
     "Dict[str, Any]", ResultType::Dict, get_simulation_stock_deal_response, __LINE__},
    {"get_simulation_future_deal_response", "get_simulation_future_deal_response", data_params, 0,
     nullptr,
     LAYOUT_DOC("建立模擬期貨訂單的成交回報(比照 DARQ 下單模組委託回報格式)",
                "Dict[str, Any]: 模擬期貨訂單的委託回報"),
     "Dict[str, Any]", ResultType::Dict, get_simulation_future_deal_response, __LINE__},
#undef LAYOUT_DOC
    {"pop_response", "pop_response", {}, 0, nullptr,
     "從回報佇列中取出回報資料\n\n" DOC_INDENT "Returns:\n" DOC_ENTRY "Dict[str, Any]: 回報資料\n" DOC_INDENT,
     "Dict[str, Any]", ResultType::Dict, pop_response, __LINE__},
    {"add_pending_order_queue", "add_pending_order_queue", intake_params, 0, nullptr,
     "將委託單加入待成交佇列\n\n" DOC_INDENT "Args:\n" DOC_ENTRY "action (str): 操作類型\n" DOC_ENTRY
     "payload (Dict[str, Any]): 委託單資料\n" DOC_INDENT,
     nullptr, ResultType::Any, add_pending_order_queue, __LINE__},
    {"add_response_to_queue", "add_response_to_queue", response_params, 0, nullptr,
     "將回報資料加入回報佇列\n\n" DOC_INDENT "Args:\n" DOC_ENTRY "response (Dict[str, Any]): 回報資料\n" DOC_INDENT,
     nullptr, ResultType::Any, add_response_to_queue, __LINE__},
};

#undef DOC_INDENT
#undef DOC_ENTRY

// The module body: the namespace bindings in order, then the class.
void exec_matcher(PyObject* module) {
    module_ns.bind(module);
    make_names();
    module_ns.import_module("copy", "copy");
    module_ns.import_module("json", "json");
    module_ns.import_module("queue", "queue");
    module_ns.import_module("traceback", "traceback");
    module_ns.import_from("datetime", {"datetime"});
    module_ns.import_from("nanoid", {"generate"});
    module_ns.import_from("threading", {"Thread"});
    module_ns.import_from("typing", {"Any", "Dict", "Union"});
    module_ns.import_from("quorvel.constant", {"Action", "OperationType", "OrderType", "OrderCond",
                                               "OrderLot", "PriceType", "OCType", "SuccessCode"});
    module_ns.import_from("quorvel.utils", {"console", "logger"});
    module_ns.import_from("quorvel.modules.positions.positions", {"Positions"});
    module_ns.set("Matcher", make_class(matcher_class, matcher_methods).get());
}

ModuleLoader matcher_loader = {"matcher", "quorvel.modules.matcher.matcher",
                               "src/quorvel/modules/matcher/matcher", exec_matcher};

PyModuleDef_Slot matcher_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create_slot<matcher_loader>)},
    {Py_mod_exec, reinterpret_cast<void*>(exec_slot<matcher_loader>)},
    {0, nullptr},
};

PyModuleDef matcher_def = {PyModuleDef_HEAD_INIT, "matcher", nullptr, 0, nullptr, matcher_slots,
                           nullptr, nullptr, nullptr};

}  // namespace
}  // namespace quorvel::matcher

PyMODINIT_FUNC PyInit_matcher() { return PyModuleDef_Init(&quorvel::matcher::matcher_def); }
