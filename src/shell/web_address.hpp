// What counts as an address the web view can be pointed at.
#pragma once

#include <string_view>

namespace tarno_vesk {

// An absolute URI: a scheme, ':', then only characters a URI may hold (non-ASCII UTF-8 is
// allowed, as browsers take internationalised addresses), with well-formed %-escapes.
bool is_absolute_uri(std::string_view text);

// An absolute http:// or https:// URI (lower-case scheme) with a non-empty host and, if
// present, a numeric port.
bool is_web_server_address(std::string_view text);

}  // namespace tarno_vesk
