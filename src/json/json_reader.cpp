// The hot parts of the JSON reader: string decoding and number checking.
//
// Page messages can carry tens of megabytes in one string, so the string decoder works a
// 16-byte block at a time where SSE2 is there: each block is stored to the output as it is,
// and the output only advances past the bytes that need nothing done. UTF-8 is validated on
// the block's bit masks, so plain and non-ASCII text go at the same pace; escapes are
// decoded one by one.
#include "json/json_reader.hpp"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <limits>

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#define TARNO_VESK_JSON_SSE2 1
#endif

namespace tarno_vesk::json::detail {

namespace {

using Byte = unsigned char;

constexpr Byte BAD_HEX = 0xFF;

constexpr auto HEX_VALUES = [] {
    struct Table {
        Byte v[256];
    } t{};
    for (int i = 0; i < 256; ++i)
        t.v[i] = BAD_HEX;
    for (int i = 0; i < 10; ++i)
        t.v['0' + i] = static_cast<Byte>(i);
    for (int i = 0; i < 6; ++i) {
        t.v['a' + i] = static_cast<Byte>(10 + i);
        t.v['A' + i] = static_cast<Byte>(10 + i);
    }
    return t;
}();

// The four hex digits at p, or -1.
inline int32_t hex4(const char* p) {
    const Byte a = HEX_VALUES.v[static_cast<Byte>(p[0])];
    const Byte b = HEX_VALUES.v[static_cast<Byte>(p[1])];
    const Byte c = HEX_VALUES.v[static_cast<Byte>(p[2])];
    const Byte d = HEX_VALUES.v[static_cast<Byte>(p[3])];
    if ((a | b | c | d) & 0xF0) return -1;
    return (a << 12) | (b << 8) | (c << 4) | d;
}

// Decodes the escape at src (src[0] is the backslash) to dst, which has room for 4 bytes.
// Returns the byte after the escape, or nullptr when it is malformed.
inline const char* decode_escape(const char* src, const char* end, char*& dst) {
    if (end - src < 2) return nullptr;
    char simple;
    switch (src[1]) {
        case '"':
            simple = '"';
            break;
        case '\\':
            simple = '\\';
            break;
        case '/':
            simple = '/';
            break;
        case 'b':
            simple = '\b';
            break;
        case 'f':
            simple = '\f';
            break;
        case 'n':
            simple = '\n';
            break;
        case 'r':
            simple = '\r';
            break;
        case 't':
            simple = '\t';
            break;
        case 'u':
            simple = 0;
            break;
        default:
            return nullptr;
    }
    if (src[1] != 'u') {
        *dst++ = simple;
        return src + 2;
    }
    if (end - src < 6) return nullptr;
    int32_t cp = hex4(src + 2);
    if (cp < 0) return nullptr;
    src += 6;
    if (cp >= 0xD800 && cp <= 0xDFFF) {
        // Only a high surrogate directly followed by an escaped low one makes a character.
        if (cp >= 0xDC00 || end - src < 6 || src[0] != '\\' || src[1] != 'u') return nullptr;
        const int32_t low = hex4(src + 2);
        if (low < 0xDC00 || low > 0xDFFF) return nullptr;
        cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
        src += 6;
    }
    if (cp < 0x80) {
        *dst++ = static_cast<char>(cp);
    } else if (cp < 0x800) {
        *dst++ = static_cast<char>(0xC0 | (cp >> 6));
        *dst++ = static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        *dst++ = static_cast<char>(0xE0 | (cp >> 12));
        *dst++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        *dst++ = static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        *dst++ = static_cast<char>(0xF0 | (cp >> 18));
        *dst++ = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        *dst++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        *dst++ = static_cast<char>(0x80 | (cp & 0x3F));
    }
    return src;
}

// Length of the well-formed UTF-8 sequence at p (whose first byte is >= 0x80), or 0.
inline int utf8_length(const Byte* p, const Byte* end) {
    const Byte b0 = p[0];
    const std::ptrdiff_t left = end - p;
    auto cont = [](Byte b) { return (b & 0xC0) == 0x80; };
    if (b0 >= 0xC2 && b0 <= 0xDF) return left >= 2 && cont(p[1]) ? 2 : 0;
    if (b0 >= 0xE0 && b0 <= 0xEF) {
        if (left < 3 || !cont(p[1]) || !cont(p[2])) return 0;
        if (b0 == 0xE0 && p[1] < 0xA0) return 0;   // overlong
        if (b0 == 0xED && p[1] >= 0xA0) return 0;  // surrogate
        return 3;
    }
    if (b0 >= 0xF0 && b0 <= 0xF4) {
        if (left < 4 || !cont(p[1]) || !cont(p[2]) || !cont(p[3])) return 0;
        if (b0 == 0xF0 && p[1] < 0x90) return 0;   // overlong
        if (b0 == 0xF4 && p[1] >= 0x90) return 0;  // beyond U+10FFFF
        return 4;
    }
    return 0;
}

// Decoded text is never longer than its source, so the output is sized from the source: by
// doubling while the string is short, then once to the closing quotation mark.
constexpr std::size_t SLACK = 32;  // a block store plus the longest escape output
constexpr std::size_t FIND_END_AFTER = 4096;

// The first quotation mark from `src` that no backslash escapes, or `end`.
const char* find_string_end(const char* src, const char* end) {
    const char* p = src;
    for (;;) {
        p = static_cast<const char*>(std::memchr(p, '"', static_cast<std::size_t>(end - p)));
        if (p == nullptr) return end;
        const char* q = p;
        while (q > src && q[-1] == '\\')
            --q;
        if ((p - q) % 2 == 0) return p;
        ++p;
    }
}

struct Output {
    std::string& out;
    char* dst;
    char* limit;  // the output may be written up to here

    char* begin() { return out.data(); }

    // Makes room for at least SLACK bytes at dst; `src` is where the source is read.
    void grow(const char* src, const char* end) {
        const std::size_t used = static_cast<std::size_t>(dst - begin());
        const std::size_t rest = static_cast<std::size_t>(end - src);
        std::size_t size;
        if (used < FIND_END_AFTER) {
            size = std::min(std::max<std::size_t>(2 * out.size(), 64), used + rest + SLACK);
        } else {
            size = used + static_cast<std::size_t>(find_string_end(src, end) - src) + SLACK;
        }
        if (size < used + SLACK) size = used + rest + SLACK;  // unreachable with valid input
        out.resize(size);
        dst = begin() + used;
        limit = begin() + out.size();
    }
    bool room() const { return static_cast<std::size_t>(limit - dst) >= SLACK; }

    void finish() { out.resize(static_cast<std::size_t>(dst - begin())); }
};

#ifdef TARNO_VESK_JSON_SSE2

// The last bytes of the text are read through a copy padded with NULs, which stop any string.
inline __m128i load_block(const char* src, const char* end) {
    if (end - src >= 16) return _mm_loadu_si128(reinterpret_cast<const __m128i*>(src));
    alignas(16) char tail[16] = {};
    std::memcpy(tail, src, static_cast<std::size_t>(end - src));
    return _mm_load_si128(reinterpret_cast<const __m128i*>(tail));
}

inline uint32_t mask_of(__m128i m) {
    return static_cast<uint32_t>(_mm_movemask_epi8(m));
}

inline __m128i splat(int byte) {
    return _mm_set1_epi8(static_cast<char>(byte));
}

// What UTF-8 expects of the next block: continuation bytes at its first positions (bits 0..2)
// and, for a lead byte that ended the last block, the range its second byte must be in.
struct Utf8Carry {
    uint32_t continuation = 0;
    uint32_t after_e0 = 0, after_ed = 0, after_f0 = 0, after_f4 = 0;
};

// Checks the UTF-8 in the block's first bytes (`region`, a bit per byte). With a full
// region, sequences may run on into the next block through `carry`; otherwise they must
// end inside the region.
inline bool valid_utf8(__m128i v, uint32_t high, uint32_t region, Utf8Carry& carry) {
    high &= region;
    // Bytes >= 0x80 are negative as signed, and ordered the same way among themselves.
    const uint32_t cont = mask_of(_mm_cmplt_epi8(v, splat(0xC0))) & region;
    const uint32_t ge_c2 = mask_of(_mm_cmpgt_epi8(v, splat(0xC1))) & high;
    const uint32_t ge_e0 = mask_of(_mm_cmpgt_epi8(v, splat(0xDF))) & high;
    const uint32_t ge_f0 = mask_of(_mm_cmpgt_epi8(v, splat(0xEF))) & high;
    const uint32_t ge_f5 = mask_of(_mm_cmpgt_epi8(v, splat(0xF4))) & high;
    const uint32_t bad_byte = (high & ~cont & ~ge_c2) | ge_f5;  // C0, C1, F5..FF
    const uint32_t expected = (ge_c2 << 1) | (ge_e0 << 2) | (ge_f0 << 3) | carry.continuation;

    // Lead bytes that narrow the range of their second byte.
    uint32_t bad_second = 0;
    uint32_t e0 = 0, ed = 0, f0 = 0, f4 = 0;
    if ((ge_e0 | carry.after_e0 | carry.after_ed | carry.after_f0 | carry.after_f4) != 0) {
        e0 = mask_of(_mm_cmpeq_epi8(v, splat(0xE0)));
        ed = mask_of(_mm_cmpeq_epi8(v, splat(0xED)));
        f0 = mask_of(_mm_cmpeq_epi8(v, splat(0xF0)));
        f4 = mask_of(_mm_cmpeq_epi8(v, splat(0xF4)));
        const uint32_t below_90 = mask_of(_mm_cmplt_epi8(v, splat(0x90)));
        const uint32_t below_a0 = mask_of(_mm_cmplt_epi8(v, splat(0xA0)));
        bad_second = (((e0 << 1) | carry.after_e0) & below_a0) |
                     (((ed << 1) | carry.after_ed) & cont & ~below_a0) |
                     (((f0 << 1) | carry.after_f0) & below_90) |
                     (((f4 << 1) | carry.after_f4) & cont & ~below_90);
    }

    if (region == 0xFFFF) {
        const bool ok = bad_byte == 0 && (expected & 0xFFFF) == cont && (bad_second & 0xFFFF) == 0;
        carry.continuation = expected >> 16;
        carry.after_e0 = e0 >> 15;
        carry.after_ed = ed >> 15;
        carry.after_f0 = f0 >> 15;
        carry.after_f4 = f4 >> 15;
        return ok;
    }
    carry = Utf8Carry{};
    return bad_byte == 0 && cont == expected && (bad_second & region) == 0;
}

#endif  // TARNO_VESK_JSON_SSE2

}  // namespace

bool read_string_portable(std::string_view text, std::size_t& pos, std::string& out) {
    const char* src = text.data() + pos;
    const char* const end = text.data() + text.size();
    out.clear();
    char escaped[4];
    for (;;) {
        // A run of bytes that are copied as they are.
        const char* run = src;
        while (src < end) {
            const Byte b = static_cast<Byte>(*src);
            if (b >= 0x80) {
                const int n = utf8_length(reinterpret_cast<const Byte*>(src),
                                          reinterpret_cast<const Byte*>(end));
                if (n == 0) return false;
                src += n;
            } else if (b >= 0x20 && b != '"' && b != '\\') {
                ++src;
            } else {
                break;
            }
        }
        out.append(run, src);
        if (src == end) return false;
        if (*src == '"') {
            pos = static_cast<std::size_t>(src + 1 - text.data());
            return true;
        }
        if (*src != '\\') return false;  // a raw control character
        char* dst = escaped;
        src = decode_escape(src, end, dst);
        if (src == nullptr) return false;
        out.append(escaped, dst);
    }
}

#ifdef TARNO_VESK_JSON_SSE2

bool read_string(std::string_view text, std::size_t& pos, std::string& out) {
    const char* src = text.data() + pos;
    const char* const end = text.data() + text.size();
    const __m128i quote = splat('"');
    const __m128i backslash = splat('\\');
    const __m128i space = splat(0x20);

    // Quotation marks, backslashes and control characters in v; `high` gets bytes >= 0x80.
    auto specials = [&](__m128i v, uint32_t& high) {
        high = mask_of(v);
        const uint32_t below_space = mask_of(_mm_cmplt_epi8(v, space)) & ~high;
        return mask_of(_mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, backslash))) |
               below_space;
    };

    // Short strings with nothing to decode are most keys and tags: copy them straight.
    {
        const __m128i v = load_block(src, end);
        uint32_t high;
        const uint32_t special = specials(v, high);
        if (special != 0) {
            const int i = __builtin_ctz(special);
            Utf8Carry carry;
            if (src + i < end && src[i] == '"' &&
                (high == 0 || valid_utf8(v, high, (1u << i) - 1, carry))) {
                out.assign(src, static_cast<std::size_t>(i));
                pos += static_cast<std::size_t>(i) + 1;
                return true;
            }
        }
    }

    out.clear();
    Output o{out, out.data(), out.data()};
    Utf8Carry carry;
    for (;;) {
        if (!o.room()) o.grow(src, end);
        const __m128i v = load_block(src, end);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(o.dst), v);
        uint32_t high;
        const uint32_t special = specials(v, high);
        if (special == 0) {
            if ((high | carry.continuation | carry.after_e0 | carry.after_ed | carry.after_f0 |
                 carry.after_f4) != 0 &&
                !valid_utf8(v, high, 0xFFFF, carry)) {
                return false;
            }
            src += 16;
            o.dst += 16;
            continue;
        }
        const int i = __builtin_ctz(special);
        if ((high | carry.continuation) != 0 && !valid_utf8(v, high, (1u << i) - 1, carry)) {
            return false;
        }
        carry = Utf8Carry{};
        src += i;
        o.dst += i;
        if (src >= end) return false;  // unterminated
        if (*src == '"') {
            o.finish();
            pos = static_cast<std::size_t>(src + 1 - text.data());
            return true;
        }
        if (*src != '\\') return false;  // a raw control character
        // Escapes often come in runs (\u escapes of a whole word): take them together.
        do {
            src = decode_escape(src, end, o.dst);
            if (src == nullptr) return false;
        } while (src < end && *src == '\\' && o.room());
    }
}

#else

bool read_string(std::string_view text, std::size_t& pos, std::string& out) {
    return read_string_portable(text, pos, out);
}

#endif  // TARNO_VESK_JSON_SSE2

bool read_number(std::string_view text, std::size_t& pos) {
    const char* const start = text.data() + pos;
    const char* const end = text.data() + text.size();
    const char* p = start;
    auto digit = [&](const char* q) { return q < end && *q >= '0' && *q <= '9'; };

    if (p < end && *p == '-') ++p;
    if (!digit(p)) return false;
    const char* const int_begin = p;
    if (*p == '0') {
        ++p;
    } else {
        while (digit(p))
            ++p;
    }
    const std::ptrdiff_t int_digits = p - int_begin;
    const bool int_zero = *int_begin == '0';

    // Where the first significant digit of the fraction is, when the integer part is zero.
    std::ptrdiff_t fraction_zeros = 0;
    bool all_zero = int_zero;
    if (p < end && *p == '.') {
        ++p;
        if (!digit(p)) return false;
        const char* const frac_begin = p;
        while (digit(p))
            ++p;
        if (int_zero) {
            const char* q = frac_begin;
            while (q < p && *q == '0')
                ++q;
            fraction_zeros = q - frac_begin;
            all_zero = q == p;
        }
    }

    // The exponent, saturated: past a billion nothing changes the outcome.
    constexpr int64_t SATURATED = 1'000'000'000;
    int64_t exponent = 0;
    if (p < end && (*p == 'e' || *p == 'E')) {
        ++p;
        bool negative = false;
        if (p < end && (*p == '+' || *p == '-')) negative = *p++ == '-';
        if (!digit(p)) return false;
        while (digit(p)) {
            if (exponent < SATURATED) exponent = exponent * 10 + (*p - '0');
            ++p;
        }
        if (negative) exponent = -exponent;
    }
    pos = static_cast<std::size_t>(p - text.data());
    if (all_zero) return true;

    // The value is 0.d1d2... times 10^magnitude with d1 non-zero; below 10^308 it surely
    // fits, from 10^309 on it surely does not, and in between the rounding decides.
    const int64_t magnitude = (int_zero ? -fraction_zeros : int_digits) + exponent;
    if (magnitude <= 308) return true;  // underflow is fine: it reads as zero
    if (magnitude >= 310) return false;
    double value = 0;
    const auto result = std::from_chars(start, p, value);
    return result.ec == std::errc{} && result.ptr == p &&
           value <= std::numeric_limits<double>::max() &&
           value >= -std::numeric_limits<double>::max();
}

}  // namespace tarno_vesk::json::detail
