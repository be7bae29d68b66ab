// The value reader under json::parse: any JSON value, built as it is read.
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "json/cursor.hpp"
#include "json/cursor_inl.hpp"
#include "json/decode.hpp"
#include "json/number.hpp"
#include "json/value.hpp"
#include "result.hpp"

namespace quillon_bo_core::json::detail {

namespace {

class ValueReader : public Cursor {
 public:
  using Cursor::Cursor;
  bool read_value(Value& out);

 private:
  bool read_array(Value& out);
  bool read_object(Value& out);
};

bool ValueReader::read_value(Value& out) {
  switch (peek()) {
    case 'n':
      if (!take(literal(cur_, "null"))) return false;
      out = nullptr;
      return true;
    case 't':
      if (!take(literal(cur_, "true"))) return false;
      out = true;
      return true;
    case 'f':
      if (!take(literal(cur_, "false"))) return false;
      out = false;
      return true;
    case '-':
    case '0':
    case '1':
    case '2':
    case '3':
    case '4':
    case '5':
    case '6':
    case '7':
    case '8':
    case '9': {
      NumberScan s;
      if (!take(scan_number(cur_, s))) return false;
      std::string_view text(s.start, static_cast<std::size_t>(s.end - s.start));
      if (text == "-0") text = "0";
      out = Number{std::string(text)};
      return true;
    }
    case '"': {
      ++cur_;
      std::string s;
      if (!decode_string(s)) return false;
      out = std::move(s);
      return true;
    }
    case '[':
      return enter() && read_array(out);
    case '{':
      return enter() && read_object(out);
    case -1:
      return fail_peek(Fault::eof_value);
    default:
      return fail_peek(Fault::expected_value);
  }
}

// After the opening bracket.
bool ValueReader::read_array(Value& out) {
  Array items;
  bool more = false;
  if (!array_next(true, more)) return false;
  while (more) {
    items.emplace_back();
    if (!read_value(items.back()) || !array_next(false, more)) return false;
  }
  leave();
  out = std::move(items);
  return true;
}

// After the opening brace. Members are collected first and sorted once.
bool ValueReader::read_object(Value& out) {
  std::vector<Member> members;
  bool more = false;
  if (!object_first(more)) return false;
  while (more) {
    Member& m = members.emplace_back();
    ++cur_;
    if (!decode_string(m.name) || !object_colon() || !read_value(m.value) || !object_next(more)) {
      return false;
    }
  }
  leave();
  out = Object::from_members(std::move(members));
  return true;
}

}  // namespace

}  // namespace quillon_bo_core::json::detail

namespace quillon_bo_core::json {

Result<Value, Failure> parse(std::string_view text) {
  detail::ValueReader reader(text);
  Value value;
  if (reader.read_value(value) && reader.finish()) return Value(std::move(value));
  return reader.take_failure();
}

}  // namespace quillon_bo_core::json
