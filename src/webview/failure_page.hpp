// The page shown in place of the engine's own error page when the application cannot be
// loaded: Persian, right to left, with the address tried and a button to try it again.
#pragma once

#include <string>
#include <string_view>

namespace tarno_vesk {

enum class LoadFailure { unreachable, name_not_found, secure_connection, missing_file };

// The page for a failed load of `address`; the address appears only as escaped text.
std::string failure_page_html(std::string_view address, LoadFailure failure);

// `text` with the characters that are special in HTML written as character references.
std::string escape_html(std::string_view text);

}  // namespace tarno_vesk
