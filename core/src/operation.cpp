#include "operation.hpp"

namespace quillon_bo_core {

namespace {

struct InfoValue {
  json::Value operator()(const OpInfo::Operation& op) const {
    json::Object o;
    o.put("kind", "operation");
    o.put("name", op.name);
    o.put("idempotent", op.idempotent);
    // An operation without a time limit has no "timeout_secs" member at all.
    if (op.timeout_secs) o.put("timeout_secs", json::Value::unsigned_integer(*op.timeout_secs));
    return o;
  }
  json::Value operator()(const OpInfo::Handler& h) const {
    json::Object o;
    o.put("kind", "handler");
    o.put("name", h.name);
    return o;
  }
};

}  // namespace

json::Value OpInfo::to_value() const { return std::visit(InfoValue{}, entry); }

}  // namespace quillon_bo_core
