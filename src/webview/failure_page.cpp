#include "webview/failure_page.hpp"

namespace tarno_vesk {

extern const std::string_view FAILURE_PAGE_HTML;

namespace {

std::string_view reason_text(LoadFailure failure) {
    switch (failure) {
        case LoadFailure::name_not_found:
            return "نشانی سرور پیدا نشد. ممکن است اینترنت قطع باشد یا نشانی درست نباشد.";
        case LoadFailure::secure_connection:
            return "ارتباط امن با سرور برقرار نشد. تاریخ و ساعت رایانه را هم بررسی کنید.";
        case LoadFailure::missing_file:
            return "پرونده‌ای که باید باز می‌شد پیدا نشد.";
        case LoadFailure::unreachable:
            break;
    }
    return "سرور پاسخ نمی‌دهد یا اتصال به آن برقرار نشد.";
}

void replace(std::string& text, std::string_view placeholder, std::string_view value) {
    auto at = text.find(placeholder);
    if (at != std::string::npos) text.replace(at, placeholder.size(), value);
}

}  // namespace

std::string escape_html(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&#39;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

std::string failure_page_html(std::string_view address, LoadFailure failure) {
    std::string page(FAILURE_PAGE_HTML);
    replace(page, "{{REASON}}", reason_text(failure));
    replace(page, "{{ADDRESS}}", escape_html(address));
    return page;
}

}  // namespace tarno_vesk
