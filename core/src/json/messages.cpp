#include "json/messages.hpp"

#include <algorithm>
#include <charconv>
#include <iterator>
#include <system_error>

#include "utf8.hpp"

namespace quillon_bo_core::json {

namespace {

// Indexed by Fault.
constexpr std::string_view templates[] = {
    "EOF while parsing a value",
    "EOF while parsing a list",
    "EOF while parsing an object",
    "EOF while parsing a string",
    "expected `:`",
    "expected `,` or `]`",
    "expected `,` or `}`",
    "expected ident",
    "expected value",
    "invalid escape",
    "invalid number",
    "number out of range",
    "control character (\\u0000-\\u001F) found while parsing a string",
    "key must be a string",
    "lone leading surrogate in hex escape",
    "unexpected end of hex escape",
    "trailing comma",
    "trailing characters",
    "recursion limit exceeded",
    "missing field `{}`",
    "duplicate field `{}`",
    "invalid length {}, expected {}",
    "unknown variant `{}`, expected {}",
    "invalid type: {}, expected {}",
    "invalid value: {}, expected {}",
};
static_assert(std::size(templates) == static_cast<std::size_t>(Fault::invalid_value) + 1);

constexpr std::string_view position_template = "{} at line {} column {}";

struct CodeRange {
  std::uint32_t first;
  std::uint32_t last;
};

// What a quoted string shows as \u{h}: controls, format characters,
// unassigned code points, combining marks, private use, and separators other
// than the plain space.
constexpr CodeRange unprintable[] = {
#include "json/unprintable_table.inc"
};

bool is_unprintable(std::uint32_t cp) {
  const auto* it =
      std::upper_bound(std::begin(unprintable), std::end(unprintable), cp,
                       [](std::uint32_t c, const CodeRange& r) { return c < r.first; });
  return it != std::begin(unprintable) && cp <= std::prev(it)->last;
}

std::string fill(std::string_view pattern, std::initializer_list<std::string_view> slots) {
  std::string out;
  std::size_t size = pattern.size();
  for (std::string_view s : slots) size += s.size();
  out.reserve(size);
  const std::string_view* slot = slots.begin();
  for (;;) {
    const std::size_t at = pattern.find("{}");
    if (at == std::string_view::npos || slot == slots.end()) break;
    out.append(pattern.substr(0, at)).append(*slot++);
    pattern.remove_prefix(at + 2);
  }
  out.append(pattern);
  return out;
}

}  // namespace

std::string message(Fault fault, std::initializer_list<std::string_view> slots) {
  return fill(templates[static_cast<std::size_t>(fault)], slots);
}

std::string Failure::to_text(std::string_view text) const {
  const std::size_t at = std::min(offset, text.size());
  const std::size_t last_feed = text.substr(0, at).rfind('\n');
  const std::size_t line_start = last_feed == std::string_view::npos ? 0 : last_feed + 1;
  const auto feeds =
      std::count(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(line_start), '\n');
  return fill(position_template,
              {message, std::to_string(feeds + 1), std::to_string(at - line_start)});
}

namespace found {

std::string integer(bool negative, std::string_view digits) {
  std::string out = "integer `";
  if (negative) out += '-';
  out.append(digits).append(1, '`');
  return out;
}

std::string floating_point(double d) {
  char buf[64];
  const auto r = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::scientific);
  const std::string_view sci(buf, static_cast<std::size_t>(r.ptr - buf));
  // sci is [-]d[.ddd]e(+|-)XX
  std::string out = "floating point `";
  std::size_t i = 0;
  if (sci[0] == '-') {
    out += '-';
    i = 1;
  }
  const std::size_t e = sci.find('e');
  std::string digits;
  for (std::size_t k = i; k < e; ++k) {
    if (sci[k] != '.') digits += sci[k];
  }
  int exponent = 0;
  std::from_chars(sci.data() + e + (sci[e + 1] == '+' ? 2 : 1), sci.data() + sci.size(), exponent);
  if (d == 0) {
    out += "0.0";
  } else if (exponent >= -5 && exponent <= 15) {
    if (exponent >= 0) {
      const auto integral = static_cast<std::size_t>(exponent) + 1;
      if (digits.size() <= integral) {
        out += digits;
        out.append(integral - digits.size(), '0');
        out += ".0";
      } else {
        out.append(digits, 0, integral);
        out += '.';
        out.append(digits, integral);
      }
    } else {
      out += "0.";
      out.append(static_cast<std::size_t>(-exponent - 1), '0');
      out += digits;
    }
  } else {
    out += digits[0];
    if (digits.size() > 1) {
      out += '.';
      out.append(digits, 1);
    }
    out += exponent < 0 ? "e-" : "e+";
    out += std::to_string(exponent < 0 ? -exponent : exponent);
  }
  out += '`';
  return out;
}

std::string string(std::string_view text) {
  std::string out = "string \"";
  for (std::size_t i = 0; i < text.size();) {
    const utf8::Char c = utf8::next(text, i);
    if (c.length == 0) {
      out += utf8::replacement_character;
      ++i;
      continue;
    }
    switch (c.cp) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      case 0:
        out += "\\0";
        break;
      default:
        if (is_unprintable(c.cp)) {
          char hex[8];
          const auto r = std::to_chars(hex, hex + sizeof hex, c.cp, 16);
          out += "\\u{";
          out.append(hex, r.ptr);
          out += '}';
        } else {
          out.append(text.data() + i, c.length);
        }
    }
    i += c.length;
  }
  out += '"';
  return out;
}

}  // namespace found

namespace expected {

std::string record(std::string_view name) { return "struct " + std::string(name); }

std::string record_count(std::string_view name, std::size_t count) {
  return record(name) + " with " + std::to_string(count) + (count == 1 ? " element" : " elements");
}

std::string names(const std::string_view* list, std::size_t count) {
  if (count == 0) return "there are no variants";
  if (count == 1) return "`" + std::string(list[0]) + "`";
  if (count == 2) return "`" + std::string(list[0]) + "` or `" + std::string(list[1]) + "`";
  std::string out = "one of ";
  for (std::size_t i = 0; i < count; ++i) {
    if (i) out += ", ";
    out += '`';
    out += list[i];
    out += '`';
  }
  return out;
}

}  // namespace expected

}  // namespace quillon_bo_core::json
