// Order and deal reports in the live order module's layouts, and the report queue.
#include "matcher_module.hpp"

namespace quorvel::matcher {

namespace {

// dst[key] = src[key] for each key, in order.
void copy_entries(PyObject* dst, PyObject* src, std::initializer_list<PyObject*> keys) {
    for (PyObject* key : keys) setitem(dst, key, getitem(src, key).get());
}

// dst[dst_key] = src[src_key] for each pair, in order.
void copy_renamed(PyObject* dst, PyObject* src, std::initializer_list<std::pair<PyObject*, PyObject*>> keys) {
    for (const auto& [dst_key, src_key] : keys) setitem(dst, dst_key, getitem(src, src_key).get());
}

// dst[key] = Enumeration.from_value(src[key])
void set_member(PyObject* dst, PyObject* src, PyObject* key, PyObject* enumeration) {
    Ref member = fast_paths::from_value(global(enumeration).get(), [&] { return getitem(src, key); });
    setitem(dst, key, member.get());
}

Ref account_id(PyObject* self) { return getitem(getattr(self, names->account_info).get(), names->account_id); }
Ref exchange_name(PyObject* self) { return getitem(getattr(self, names->exchange_info).get(), names->name); }

// Hands the field dict to the stock or futures layout builder by the trade's product type.
Ref pick_layout(PyObject* self, PyObject* trade, PyObject* common_fields, PyObject* stock_layout,
                PyObject* future_layout, std::initializer_list<PyObject*> future_extra) {
    if (equals(getitem(trade, names->product_type).get(), names->Stock)) {
        // common_fields.update({...}): the merged dict is unobservable, its entries go in directly
        copy_entries(common_fields, trade, {names->order_cond, names->order_lot});
        return call_method(self, stock_layout, common_fields);
    }
    if (equals(getitem(trade, names->product_type).get(), names->Future)) {
        copy_entries(common_fields, trade, future_extra);
        return call_method(self, future_layout, common_fields);
    }
    raise_exception({"不支援的商品類型: ", getitem(trade, names->product_type)});
}

// The report of an order operation; the "order" part differs between stock and futures.
Ref order_layout(PyObject* self, PyObject* data, bool stock) {
    Ref report = new_dict(5);
    set_member(report.get(), data, names->operation_type, names->OperationType);
    copy_renamed(report.get(), data, {{names->operation_status_code, names->operation_code},
                                      {names->operation_message, names->operation_message}});
    Ref order = new_dict(stock ? 12 : 11);
    copy_renamed(order.get(), data, {{names->id, names->trade_id}, {names->seqno, names->trade_id},
                                     {names->ordno, names->trade_id}, {names->account, names->account_id}});
    copy_entries(order.get(), data, {names->code, names->action, names->price, names->quantity});
    set_member(order.get(), data, names->order_type, names->OrderType);
    if (stock) {
        set_member(order.get(), data, names->order_cond, names->OrderCond);
        set_member(order.get(), data, names->order_lot, names->OrderLot);
        set_member(order.get(), data, names->price_type, names->PriceType);
    } else {
        set_member(order.get(), data, names->price_type, names->PriceType);
        set_member(order.get(), data, names->oc_type, names->OCType);
    }
    setitem(report.get(), names->order, order.get());
    Ref trade_status = new_dict(3);
    setitem(trade_status.get(), names->id, getitem(data, names->trade_id).get());
    setitem(trade_status.get(), names->exchange, exchange_name(self).get());
    setitem(trade_status.get(), names->exchange_ts, getitem(data, names->exchange_ts).get());
    setitem(report.get(), names->trade_status, trade_status.get());
    return report;
}

// The flat deal report; stock reports carry the order condition and lot before the time.
Ref deal_layout(PyObject* data, bool stock) {
    Ref report = new_dict(stock ? 13 : 11);
    copy_entries(report.get(), data, {names->id, names->seqno, names->ordno, names->exchange_seqno, names->broker_id,
                                      names->account, names->action, names->code, names->quantity, names->price});
    if (stock) {
        set_member(report.get(), data, names->order_cond, names->OrderCond);
        set_member(report.get(), data, names->order_lot, names->OrderLot);
    }
    copy_entries(report.get(), data, {names->exchange_ts});
    return report;
}

}  // namespace

Ref build_order_response(Self self, Dict trade, Object operation_type, Object code_obj) {
    Ref common_fields = new_dict(14);
    setitem(common_fields.get(), names->operation_type, operation_type);
    setitem(common_fields.get(), names->operation_code, getattr(code_obj, names->code).get());
    setitem(common_fields.get(), names->operation_message, getattr(code_obj, names->message).get());
    setitem(common_fields.get(), names->trade_id, getitem(trade, names->trade_id).get());
    setitem(common_fields.get(), names->account_id, account_id(self).get());
    copy_entries(common_fields.get(), trade,
                 {names->code, names->action, names->price, names->quantity, names->price_type, names->order_type});
    setitem(common_fields.get(), names->exchange_ts,
            latest_tick_time(self, [&] { return getitem(trade, names->code); }).get());
    return pick_layout(self, trade, common_fields.get(), names->get_simulation_stock_order_response,
                       names->get_simulation_future_order_response, {names->oc_type});
}

Ref build_deal_response(Self self, Dict trade) {
    Ref common_fields = new_dict(13);
    copy_renamed(common_fields.get(), trade, {{names->id, names->trade_id}, {names->seqno, names->trade_id},
                                              {names->ordno, names->trade_id}, {names->exchange_seqno, names->trade_id}});
    setitem(common_fields.get(), names->broker_id, exchange_name(self).get());
    setitem(common_fields.get(), names->account, account_id(self).get());
    copy_entries(common_fields.get(), trade,
                 {names->action, names->code, names->quantity, names->price, names->exchange_ts});
    return pick_layout(self, trade, common_fields.get(), names->get_simulation_stock_deal_response,
                       names->get_simulation_future_deal_response, {});
}

Ref get_simulation_stock_order_response(Self self, Dict data) { return order_layout(self, data, true); }
Ref get_simulation_future_order_response(Self self, Dict data) { return order_layout(self, data, false); }
Ref get_simulation_stock_deal_response(Self, Dict data) { return deal_layout(data, true); }
Ref get_simulation_future_deal_response(Self, Dict data) { return deal_layout(data, false); }

void add_response_to_queue(Self self, Dict response) {
    call_method(getattr(self, names->response_queue).get(), names->put, response);
}

Ref pop_response(Self self) { return call_method(getattr(self, names->response_queue).get(), names->get); }

}  // namespace quorvel::matcher
