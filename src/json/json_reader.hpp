// A strict, single-pass JSON reader (RFC 8259) that reports what it reads to a handler.
//
// It accepts exactly standard JSON in UTF-8: no byte-order mark, white space only as space,
// tab, line feed and carriage return, nothing but white space after the top-level value,
// no raw control characters inside strings, \u escapes of surrogates only as a high one
// directly followed by a low one, and no number whose value lies beyond the range of a
// double (1e400); integers longer than 64 bits are accepted. Objects and arrays nest at most
// `max_depth` levels, the outermost counting as the first.
//
// The handler sees every event in document order. Strings and member names arrive decoded
// (escapes resolved, UTF-8) as rvalues, so a handler can keep a large value without copying.
// Any handler call that returns false ends the parse, which then fails.
//
//   struct Handler {
//       bool begin_object();  bool end_object();
//       bool begin_array();   bool end_array();
//       bool key(std::string&& name);
//       bool string(std::string&& value);
//       bool number();        // the text's value is not reported; nothing here needs it
//       bool boolean(bool value);
//       bool null();
//   };
#pragma once

#include <string>
#include <string_view>

namespace tarno_vesk::json {

inline constexpr int DEFAULT_MAX_DEPTH = 127;

template <class Handler>
bool parse(std::string_view text, Handler& handler, int max_depth = DEFAULT_MAX_DEPTH);

}  // namespace tarno_vesk::json

#include "json/json_reader_impl.hpp"
