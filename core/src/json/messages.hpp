// Every message a decode can fail with, and the texts that fill their slots.
// The wording is part of the system's output: it is produced here and
// nowhere else.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

namespace quillon_bo_core::json {

enum class Fault : std::uint8_t {
  // Syntax: the text itself is not JSON, or not the one value expected.
  eof_value,            // the text ends where a value must start
  eof_list,             // the text ends inside an array
  eof_object,           // the text ends inside an object
  eof_string,           // the text ends inside a string or an escape
  expected_colon,       // a member name without its colon
  expected_list_end,    // an element followed by neither `,` nor `]`
  expected_object_end,  // a member followed by neither `,` nor `}`
  expected_ident,       // a literal that is not exactly true, false or null
  expected_value,       // a byte that cannot begin a value
  invalid_escape,       // a backslash not followed by an escape
  invalid_number,       // a malformed number
  number_out_of_range,  // a number for an integer field beyond any double
  control_character,    // a raw byte below 0x20 inside a string
  key_must_be_string,   // a member that does not begin with a quote
  lone_surrogate,       // a \u trailing surrogate without its leading one
  hex_escape_end,       // a \u leading surrogate not followed by \u
  trailing_comma,       // a comma right before a closing bracket or brace
  trailing_characters,  // more after the value, or more elements than fields
  recursion_limit,      // the 128th open container
  // Data: the text is JSON but not the record expected. Slots: {}.
  missing_field,    // the field's name
  duplicate_field,  // the field's name
  invalid_length,   // the field's index, the record's count text
  unknown_variant,  // the name found, the names allowed
  invalid_type,     // what was found, what was expected
  invalid_value,    // what was found, what was expected
};

// The message of `fault`, its {} slots filled in order by `slots`.
std::string message(Fault fault, std::initializer_list<std::string_view> slots = {});

// Why a text did not decode: the message and the byte offset it refers to.
struct Failure {
  std::string message;
  std::size_t offset = 0;

  // "{message} at line {L} column {C}", with line and column of `offset` in
  // `text` (the text that was decoded): line = 1 + the line feeds before the
  // offset's line, column = bytes from the start of that line to the offset.
  std::string to_text(std::string_view text) const;
  friend bool operator==(const Failure&, const Failure&) = default;
};

namespace found {

// What was found, as the first slot of invalid_type and invalid_value says it.
inline constexpr std::string_view null = "null";
inline constexpr std::string_view boolean_true = "boolean `true`";
inline constexpr std::string_view boolean_false = "boolean `false`";
inline constexpr std::string_view number = "number";
inline constexpr std::string_view sequence = "sequence";
inline constexpr std::string_view map = "map";
// "integer `{}`": the digits, with a minus sign when `negative`.
std::string integer(bool negative, std::string_view digits);
// "floating point `{}`": the shortest decimal that reads back as `d`, plain
// for decimal exponents -5..15 (with ".0" on integral values), scientific
// otherwise.
std::string floating_point(double d);
// "string \"...\"": a decoded string quoted with \" \\ \n \r \t \0, \u{h}
// for every unprintable character, and every other character as it is.
std::string string(std::string_view decoded);

}  // namespace found

namespace expected {

// What was expected, as the second slot says it.
inline constexpr std::string_view text = "a string";
inline constexpr std::string_view u16 = "u16";
inline constexpr std::string_view i64 = "i64";
inline constexpr std::string_view unit = "unit";
// "struct {name}".
std::string record(std::string_view name);
// "struct {name} with {count} element(s)".
std::string record_count(std::string_view name, std::size_t count);
// "`a`", "`a` or `b`", "one of `a`, `b`, `c`".
std::string names(const std::string_view* list, std::size_t count);

}  // namespace expected

}  // namespace quillon_bo_core::json
