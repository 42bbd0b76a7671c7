#include "json/json_writer.hpp"

#include <cstddef>

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#define TARNO_VESK_JSON_SSE2 1
#endif

namespace tarno_vesk::json {

namespace {

bool needs_escape(unsigned char c) {
    return c < 0x20 || c == '"' || c == '\\';
}

void append_escape(std::string& out, unsigned char c) {
    const char* named = nullptr;
    switch (c) {
        case '"':
            named = "\\\"";
            break;
        case '\\':
            named = "\\\\";
            break;
        case '\b':
            named = "\\b";
            break;
        case '\t':
            named = "\\t";
            break;
        case '\n':
            named = "\\n";
            break;
        case '\f':
            named = "\\f";
            break;
        case '\r':
            named = "\\r";
            break;
        default:
            break;
    }
    if (named != nullptr) {
        out.append(named, 2);
        return;
    }
    constexpr char HEX[] = "0123456789abcdef";
    const char code[] = {'\\', 'u', '0', '0', HEX[c >> 4], HEX[c & 0xF]};
    out.append(code, sizeof code);
}

#ifdef TARNO_VESK_JSON_SSE2
// Bits for the bytes of the 16 at p that need an escape: quotation marks and backslashes in
// `marks`, control characters in `controls`.
struct EscapeMasks {
    unsigned marks;
    unsigned controls;
    unsigned any() const { return marks | controls; }
};

EscapeMasks escape_masks(const char* p) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    // Signed, bytes >= 0x80 are below the space too; they are taken out again.
    const unsigned high = static_cast<unsigned>(_mm_movemask_epi8(v));
    const unsigned low =
        static_cast<unsigned>(_mm_movemask_epi8(_mm_cmplt_epi8(v, _mm_set1_epi8(0x20))));
    const unsigned marks = static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(
        _mm_cmpeq_epi8(v, _mm_set1_epi8('"')), _mm_cmpeq_epi8(v, _mm_set1_epi8('\\')))));
    return {marks, low & ~high};
}
#endif

// Length of the run at the start of [p, end) that is copied as it is.
std::size_t plain_run(const char* p, const char* end) {
    const char* q = p;
#ifdef TARNO_VESK_JSON_SSE2
    for (; end - q >= 16; q += 16) {
        if (const unsigned special = escape_masks(q).any(); special != 0) {
            return static_cast<std::size_t>(q - p) +
                   static_cast<std::size_t>(__builtin_ctz(special));
        }
    }
#endif
    while (q < end && !needs_escape(static_cast<unsigned char>(*q)))
        ++q;
    return static_cast<std::size_t>(q - p);
}

// At least the length of `text` once escaped, so that a large string is allocated once.
std::size_t escaped_size_bound(std::string_view text) {
    std::size_t extra = 0;
    const char* p = text.data();
    const char* const end = p + text.size();
#ifdef TARNO_VESK_JSON_SSE2
    for (; end - p >= 16; p += 16) {
        const EscapeMasks masks = escape_masks(p);
        // Escapes are sparse: counting bit by bit beats a software popcount.
        for (unsigned m = masks.marks; m != 0; m &= m - 1)
            extra += 1;
        for (unsigned m = masks.controls; m != 0; m &= m - 1)
            extra += 5;
    }
#endif
    for (; p < end; ++p) {
        const auto c = static_cast<unsigned char>(*p);
        extra += c < 0x20 ? 5 : (c == '"' || c == '\\') ? 1 : 0;
    }
    return text.size() + extra;
}

}  // namespace

void append_string(std::string& out, std::string_view text) {
    // Large text is measured first so that it is allocated once, with room left for the
    // caller to close what holds the string.
    constexpr std::size_t LARGE = 4096, CLOSING = 8;
    out.reserve(out.size() + 2 + CLOSING +
                (text.size() < LARGE ? text.size() : escaped_size_bound(text)));
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
