#include "shell/web_address.hpp"

#include <string>

#include "shell/unicode.hpp"

namespace tarno_vesk {
namespace {

bool is_alpha(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
bool is_digit(char c) {
    return c >= '0' && c <= '9';
}
bool is_hex(char c) {
    return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// Unreserved, reserved and '%' (checked apart): every ASCII character a URI may hold.
bool is_uri_ascii(char c) {
    static constexpr std::string_view extra = "-._~:/?#[]@!$&'()*+,;=%";
    return is_alpha(c) || is_digit(c) || extra.find(c) != std::string_view::npos;
}

bool all_digits(std::string_view text) {
    for (char c : text) {
        if (!is_digit(c)) return false;
    }
    return true;
}

}  // namespace

bool is_absolute_uri(std::string_view text) {
    size_t colon = text.find(':');
    if (colon == 0 || colon == std::string_view::npos || !is_alpha(text[0])) return false;
    for (char c : text.substr(0, colon)) {
        if (!is_alpha(c) && !is_digit(c) && c != '+' && c != '-' && c != '.') return false;
    }
    if (!is_valid_utf8(text)) return false;
    for (size_t i = colon + 1; i < text.size(); ++i) {
        char c = text[i];
        if (static_cast<unsigned char>(c) >= 0x80) continue;  // internationalised text
        if (!is_uri_ascii(c)) return false;
        if (c == '%' && (i + 2 >= text.size() || !is_hex(text[i + 1]) || !is_hex(text[i + 2]))) {
            return false;
        }
    }
    return true;
}

bool is_web_server_address(std::string_view text) {
    std::string_view rest;
    if (text.starts_with("http://")) {
        rest = text.substr(7);
    } else if (text.starts_with("https://")) {
        rest = text.substr(8);
    } else {
        return false;
    }
    if (!is_absolute_uri(text)) return false;
    std::string_view authority = rest.substr(0, rest.find_first_of("/?#"));
    if (auto at = authority.rfind('@'); at != std::string_view::npos) {
        authority.remove_prefix(at + 1);
    }
    std::string_view host = authority;
    if (authority.starts_with('[')) {
        size_t close = authority.find(']');
        if (close == std::string_view::npos || close < 2) return false;
        host = authority.substr(0, close + 1);
        std::string_view after = authority.substr(close + 1);
        if (!after.empty() && (after[0] != ':' || !all_digits(after.substr(1)))) return false;
        return host.substr(1, host.size() - 2).find_first_of("[]") == std::string_view::npos;
    }
    if (auto colon = authority.find(':'); colon != std::string_view::npos) {
        if (!all_digits(authority.substr(colon + 1))) return false;
        host = authority.substr(0, colon);
    }
    return !host.empty() && host.find_first_of("[]") == std::string_view::npos;
}

}  // namespace tarno_vesk
