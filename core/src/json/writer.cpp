#include "json/writer.hpp"

#include <cstring>
#include <variant>

#include "json/string_scan.hpp"

namespace quillon_bo_core::json {

namespace {

template <class Out>
void write_escape(unsigned char c, Out& out) {
  static constexpr char hex[] = "0123456789abcdef";
  switch (c) {
    case '"':
      put(out, "\\\"", 2);
      return;
    case '\\':
      put(out, "\\\\", 2);
      return;
    case '\b':
      put(out, "\\b", 2);
      return;
    case '\t':
      put(out, "\\t", 2);
      return;
    case '\n':
      put(out, "\\n", 2);
      return;
    case '\f':
      put(out, "\\f", 2);
      return;
    case '\r':
      put(out, "\\r", 2);
      return;
    default: {
      const char esc[6] = {'\\', 'u', '0', '0', hex[c >> 4], hex[c & 0xF]};
      put(out, esc, sizeof esc);
    }
  }
}

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

template <class Out>
void write_string_to(std::string_view text, Out& out) {
  const char* p = text.data();
  const char* const end = p + text.size();
  const char* stop = detail::find_string_stop(p, end);
  if (stop == end) {
    // Nothing to escape, the usual case: one copy between the quotes.
    put(out, '"');
    put(out, p, text.size());
    put(out, '"');
    return;
  }
  put(out, '"');
  for (;;) {
    put(out, p, static_cast<std::size_t>(stop - p));
    if (stop == end) break;
    write_escape(static_cast<unsigned char>(*stop), out);
    p = stop + 1;
    stop = detail::find_string_stop(p, end);
  }
  put(out, '"');
}

}  // namespace

void write_string(std::string_view text, std::string& out) { write_string_to(text, out); }

#if defined(_LIBCPP_VERSION)
void write_string(std::string_view text, Sink& out) { write_string_to(text, out); }
#endif

void write(const Value& value, std::string& out) { std::visit(Writer{out}, value.storage()); }

std::string to_text(const Value& value) {
  std::string out;
  write(value, out);
  return out;
}

}  // namespace quillon_bo_core::json
