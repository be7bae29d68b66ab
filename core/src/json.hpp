// The JSON unit, one header per concern under json/:
//   value     the JSON value (null, boolean, number as text, string, array,
//             sorted object)
//   writer    compact text with the envelope's escapes
//   messages  every fault kind and its message text, the position suffix
//   cursor    the position, budget and first failure that both readers
//             share, with containers, strings and skipped values (its
//             inline scanners in cursor_inl); numbers in number
//   field_reader  a record's fields one at a time, under decode (the value
//             reader under parse is value_reader.cpp alone)
//   record    record and enumeration tables
//   decode    whole texts into values (parse) and records (decode)
//   encode    records into values by their tables
#pragma once

#include "json/decode.hpp"
#include "json/encode.hpp"
#include "json/messages.hpp"
#include "json/record.hpp"
#include "json/value.hpp"
#include "json/writer.hpp"
