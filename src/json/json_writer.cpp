#include "json/json_writer.hpp"

#include <cstddef>

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#endif

namespace tarno_vesk::json {

namespace {

bool needs_escape(unsigned char c) {
    return c < 0x20 || c == '"' || c == '\\';
}

void append_escape(std::string& out, unsigned char c) {
    switch (c) {
        case '"':
            out += "\\\"";
            return;
        case '\\':
            out += "\\\\";
            return;
        case '\b':
            out += "\\b";
            return;
        case '\t':
            out += "\\t";
            return;
        case '\n':
            out += "\\n";
            return;
        case '\f':
            out += "\\f";
            return;
        case '\r':
            out += "\\r";
            return;
        default:
            break;
    }
    constexpr char HEX[] = "0123456789abcdef";
    const char code[] = {'\\', 'u', '0', '0', HEX[c >> 4], HEX[c & 0xF]};
    out.append(code, sizeof code);
}

// Length of the run at the start of [p, end) that is copied as it is.
std::size_t plain_run(const char* p, const char* end) {
    const char* q = p;
#if defined(__SSE2__) || defined(_M_X64)
    const __m128i quote = _mm_set1_epi8('"');
    const __m128i backslash = _mm_set1_epi8('\\');
    const __m128i space = _mm_set1_epi8(0x20);
    while (end - q >= 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q));
        // Signed, bytes >= 0x80 are below the space too; they are taken out again.
        const unsigned high = static_cast<unsigned>(_mm_movemask_epi8(v));
        const unsigned low = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmplt_epi8(v, space)));
        const unsigned special = static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(
                                     _mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, backslash)))) |
                                 (low & ~high);
        if (special != 0) return static_cast<std::size_t>(q - p) + __builtin_ctz(special);
        q += 16;
    }
#endif
    while (q < end && !needs_escape(static_cast<unsigned char>(*q)))
        ++q;
    return static_cast<std::size_t>(q - p);
}

}  // namespace

void append_string(std::string& out, std::string_view text) {
    out.reserve(out.size() + text.size() + 2);
    out += '"';
    const char* p = text.data();
    const char* const end = p + text.size();
    while (p < end) {
        const std::size_t run = plain_run(p, end);
        out.append(p, run);
        p += run;
        if (p == end) break;
        append_escape(out, static_cast<unsigned char>(*p++));
    }
    out += '"';
}

}  // namespace tarno_vesk::json
