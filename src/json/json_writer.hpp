// JSON text output.
#pragma once

#include <string>
#include <string_view>

namespace tarno_vesk::json {

// Appends `text` (UTF-8) as a JSON string: quotation mark and backslash escaped, \b \t \n \f
// \r for those controls, \u00xx (lower-case hex) for the other controls below U+0020, and
// every other character, non-ASCII included, as it is.
void append_string(std::string& out, std::string_view text);

}  // namespace tarno_vesk::json
