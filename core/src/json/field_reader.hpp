// The field reader under record decoding: the cursor, plus a record's fields
// read one at a time, with the exact message for every other kind of value
// found, and the data failures of records.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "json/arena.hpp"
#include "json/cursor.hpp"
#include "json/messages.hpp"
#include "json/string_scan.hpp"

namespace quillon_bo_core::json::detail {

class FieldReader : public Cursor {
 public:
  // Strings read as views need an arena for those with escapes.
  explicit FieldReader(std::string_view text, Arena* arena = nullptr)
      : Cursor(text), arena_(arena) {}

  // Fields, each at the start of its value (white space already skipped or
  // not).
  bool read_text(std::string& out);
  // A string as a view of the text, or of the arena when it has escapes.
  bool read_view(std::string_view& out);
  bool read_u16(std::uint16_t& out);
  bool read_i64(std::int64_t& out);
  // Takes "null" when the value starts with 'n'; answers whether it did.
  bool read_null(bool& was_null);
  // An enumeration of plain names, "name" or {"name":null}: the index of the
  // name in `names`.
  bool read_enum(const std::string_view* names, std::size_t count, std::size_t& index);

  // Records are entered and walked by the cursor's container steps. A
  // member's name, escapes resolved, valid until the next call: leaves the
  // cursor just after the closing quote.
  bool read_name(std::string_view& name);
  // After the last field's element: the closing bracket, or the messages for
  // extra elements.
  bool array_end();

  // Data failures of record decoding.
  bool not_a_record(std::string_view name);
  bool missing_field(std::string_view name);
  bool duplicate_field(std::string_view name);
  bool invalid_length(std::size_t index, std::string_view name, std::size_t count);

 private:
  bool read_integer(std::int64_t min, std::uint64_t max, std::string_view expected,
                    std::uint64_t& magnitude, bool& negative);
  bool read_plain_integer(std::int64_t min, std::uint64_t max, std::uint64_t& magnitude,
                          bool& negative);
  bool decode_into_arena(std::string_view& out);
  bool invalid_type(std::string_view expected);

  Arena* arena_;
  std::string scratch_;
};

// The steps of every field, in line.

QB_CLANG_INLINE inline bool FieldReader::read_name(std::string_view& name) {
  const char* start = ++cur_;
  const char* stop = find_string_stop(start, end_);
  if (stop < end_ && *stop == '"') {
    name = std::string_view(start, static_cast<std::size_t>(stop - start));
    cur_ = stop + 1;
    return true;
  }
  scratch_.clear();
  if (!decode_string(scratch_)) return false;
  name = scratch_;
  return true;
}

inline bool FieldReader::read_text(std::string& out) {
  if (peek() != '"') return invalid_type(expected::text);
  ++cur_;
  out.clear();
  return decode_string(out);
}

QB_CLANG_INLINE inline bool FieldReader::read_view(std::string_view& out) {
  if (peek() != '"') return invalid_type(expected::text);
  const char* start = ++cur_;
  const char* stop = find_string_stop(start, end_);
  if (stop < end_ && *stop == '"') {
    out = std::string_view(start, static_cast<std::size_t>(stop - start));
    cur_ = stop + 1;
    return true;
  }
  return decode_into_arena(out);
}

}  // namespace quillon_bo_core::json::detail
