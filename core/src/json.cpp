#include "json.hpp"

#include <algorithm>

namespace quillon_bo_core::json {

namespace {

bool name_less(const Member& m, std::string_view name) { return std::string_view(m.name) < name; }

// Bytes that must be escaped: the quote, the backslash and 0x00..0x1F.
constexpr bool needs_escape(unsigned char c) { return c < 0x20 || c == '"' || c == '\\'; }

void write_escape(unsigned char c, std::string& out) {
  static constexpr char hex[] = "0123456789abcdef";
  switch (c) {
    case '"': out += "\\\""; return;
    case '\\': out += "\\\\"; return;
    case '\b': out += "\\b"; return;
    case '\t': out += "\\t"; return;
    case '\n': out += "\\n"; return;
    case '\f': out += "\\f"; return;
    case '\r': out += "\\r"; return;
    default: {
      const char esc[6] = {'\\', 'u', '0', '0', hex[c >> 4], hex[c & 0xF]};
      out.append(esc, sizeof esc);
    }
  }
}

}  // namespace

Object Object::from_members(std::vector<Member> members) {
  // Stable sort keeps repeated names in input order, so the last of each run wins.
  std::stable_sort(members.begin(), members.end(),
                   [](const Member& a, const Member& b) { return a.name < b.name; });
  Object object;
  object.members_.reserve(members.size());
  for (auto& m : members) {
    if (!object.members_.empty() && object.members_.back().name == m.name) {
      object.members_.back().value = std::move(m.value);
    } else {
      object.members_.push_back(std::move(m));
    }
  }
  return object;
}

void Object::put(std::string name, Value value) {
  auto it = std::lower_bound(members_.begin(), members_.end(), std::string_view(name), name_less);
  if (it != members_.end() && it->name == name) {
    it->value = std::move(value);
  } else {
    members_.insert(it, Member{std::move(name), std::move(value)});
  }
}

const Value* Object::find(std::string_view name) const {
  auto it = std::lower_bound(members_.begin(), members_.end(), name, name_less);
  return it != members_.end() && it->name == name ? &it->value : nullptr;
}

void write_string(std::string_view text, std::string& out) {
  out += '"';
  std::size_t run = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (needs_escape(c)) {
      out.append(text.data() + run, i - run);
      write_escape(c, out);
      run = i + 1;
    }
  }
  out.append(text.data() + run, text.size() - run);
  out += '"';
}

namespace {

struct Writer {
  std::string& out;

  void operator()(std::nullptr_t) const { out += "null"; }
  void operator()(bool b) const { out += b ? "true" : "false"; }
  void operator()(const Number& n) const { out += n.text; }
  void operator()(const std::string& s) const { write_string(s, out); }
  void operator()(const Array& a) const {
    out += '[';
    for (std::size_t i = 0; i < a.size(); ++i) {
      if (i) out += ',';
      std::visit(*this, a[i].storage());
    }
    out += ']';
  }
  void operator()(const Object& o) const {
    out += '{';
    bool first = true;
    for (const auto& m : o) {
      if (!first) out += ',';
      first = false;
      write_string(m.name, out);
      out += ':';
      std::visit(*this, m.value.storage());
    }
    out += '}';
  }
};

}  // namespace

void write(const Value& value, std::string& out) { std::visit(Writer{out}, value.storage()); }

std::string to_text(const Value& value) {
  std::string out;
  write(value, out);
  return out;
}

}  // namespace quillon_bo_core::json
