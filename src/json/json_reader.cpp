// The hot parts of the JSON reader: string decoding and number checking.
//
// Page messages can carry tens of megabytes in one string. Where SSE2 is there, the string
// decoder takes 16 bytes at a time: it stores each block to the output as it is, checks its
// UTF-8 on the block's bit masks, and finds the block's quotation marks, backslashes and
// control characters from masks too, so ASCII, raw non-ASCII and escaped text all go at
// about the same pace. Elsewhere a byte loop does the same work.
#include "json/json_reader.hpp"

#include <charconv>
#include <cstdint>
#include <cstring>
#include <limits>

#ifdef __linux__
#include <sys/mman.h>
#endif

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

// What each simple escape stands for; 'u' is decoded apart, and 0 marks no escape.
constexpr auto ESCAPED = [] {
    struct Table {
        char v[256];
    } t{};
    const char letters[] = "\"\\/bfnrt";
    const char meanings[] = "\"\\/\b\f\n\r\t";
    for (int i = 0; i < 8; ++i)
        t.v[static_cast<Byte>(letters[i])] = meanings[i];
    t.v[static_cast<Byte>('u')] = 'u';
    return t;
}();

// Decodes the escape at src (src[0] is the backslash) to dst, which has room for 4 bytes.
// Returns the byte after the escape, or nullptr when it is malformed.
[[gnu::always_inline]] inline const char* decode_escape(const char* src, const char* end,
                                                        char*& dst) {
    if (end - src < 2) return nullptr;
    const char simple = ESCAPED.v[static_cast<Byte>(src[1])];
    if (simple == 0) return nullptr;
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

#endif  // TARNO_VESK_JSON_SSE2

// Asks for the big pages of memory the kernel can give to large blocks, before the block is
// first written. A string of tens of megabytes otherwise costs a page fault per 4 KiB, which
// on some virtual machines takes longer than decoding the text.
void prefer_huge_pages(std::string& out) {
#ifdef __linux__
    constexpr std::uintptr_t HUGE_PAGE = std::uintptr_t{2} << 20;
    if (out.capacity() < 4 * HUGE_PAGE) return;
    const auto begin = reinterpret_cast<std::uintptr_t>(out.data());
    const std::uintptr_t first = (begin + HUGE_PAGE - 1) & ~(HUGE_PAGE - 1);
    const std::uintptr_t last = (begin + out.capacity()) & ~(HUGE_PAGE - 1);
    // Only a hint: where it is refused, the pages are simply small.
    madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#else
    (void)out;
#endif
}

// Decoding goes through a small buffer that stays in cache, and the string is written once,
// in bulk. It is sized the first time the buffer fills, by the rest of the source (decoded
// text is never longer than its source): writing into a string resized ahead would touch all
// of its memory twice.
constexpr std::size_t CHUNK = 16 * 1024;
constexpr std::size_t SLACK = 32;  // a block store plus the longest escape output

#ifdef TARNO_VESK_JSON_SSE2

struct Output {
    std::string& out;
    char* const chunk;
    char* dst = chunk;

    bool room() const { return static_cast<std::size_t>(dst - chunk) <= CHUNK - SLACK; }

    void flush(const char* src, const char* end) {
        const std::size_t used = static_cast<std::size_t>(dst - chunk);
        if (out.empty()) {
            // The rest of the text bounds the string; pages never written are never touched,
            // so the bound costs nothing and saves a scan for the closing quotation mark.
            out.reserve(used + static_cast<std::size_t>(end - src));
            prefer_huge_pages(out);
        }
        out.append(chunk, used);
        dst = chunk;
    }
    void finish() { out.append(chunk, static_cast<std::size_t>(dst - chunk)); }
};

// What UTF-8 expects of the start of the next block, as left by sequences that run on past
// the end of this one: continuation bytes at the positions in bits 0..2, and in bits 8..11 a
// narrower range for the byte at position 0 when it follows E0, ED, F0 or F4.
using Utf8Carry = uint32_t;
constexpr int AFTER_E0 = 8, AFTER_ED = 9, AFTER_F0 = 10, AFTER_F4 = 11;

// Checks the UTF-8 in the block's first bytes (`region`, a bit per byte; `high` marks bytes
// >= 0x80). With a full region sequences may run on into the next block through `carry`;
// otherwise they must end inside the region.
[[gnu::always_inline]] inline bool valid_utf8(__m128i v, uint32_t high, uint32_t region,
                                              Utf8Carry& carry) {
    high &= region;
    // Bytes >= 0x80 are negative as signed, and ordered the same way among themselves.
    const uint32_t cont = mask_of(_mm_cmplt_epi8(v, splat(0xC0))) & region;
    const uint32_t ge_c2 = mask_of(_mm_cmpgt_epi8(v, splat(0xC1))) & high;
    const uint32_t ge_e0 = mask_of(_mm_cmpgt_epi8(v, splat(0xDF))) & high;
    const uint32_t ge_f0 = mask_of(_mm_cmpgt_epi8(v, splat(0xEF))) & high;
    const uint32_t ge_f5 = mask_of(_mm_cmpgt_epi8(v, splat(0xF4))) & high;
    const uint32_t bad_byte = (high & ~cont & ~ge_c2) | ge_f5;  // C0, C1, F5..FF
    const uint32_t expected = (ge_c2 << 1) | (ge_e0 << 2) | (ge_f0 << 3) | (carry & 7);

    // Lead bytes that narrow the range of their second byte; rare outside three- and
    // four-byte text.
    uint32_t bad_second = 0;
    uint32_t e0 = 0, ed = 0, f0 = 0, f4 = 0;
    if ((ge_e0 | (carry >> AFTER_E0)) != 0) {
        e0 = mask_of(_mm_cmpeq_epi8(v, splat(0xE0)));
        ed = mask_of(_mm_cmpeq_epi8(v, splat(0xED)));
        f0 = mask_of(_mm_cmpeq_epi8(v, splat(0xF0)));
        f4 = mask_of(_mm_cmpeq_epi8(v, splat(0xF4)));
        const uint32_t below_90 = mask_of(_mm_cmplt_epi8(v, splat(0x90)));
        const uint32_t below_a0 = mask_of(_mm_cmplt_epi8(v, splat(0xA0)));
        bad_second = (((e0 << 1) | ((carry >> AFTER_E0) & 1)) & below_a0) |
                     (((ed << 1) | ((carry >> AFTER_ED) & 1)) & cont & ~below_a0) |
                     (((f0 << 1) | ((carry >> AFTER_F0) & 1)) & below_90) |
                     (((f4 << 1) | ((carry >> AFTER_F4) & 1)) & cont & ~below_90);
    }

    if (region == 0xFFFF) {
        carry = (expected >> 16) | ((e0 >> 15) << AFTER_E0) | ((ed >> 15) << AFTER_ED) |
                ((f0 >> 15) << AFTER_F0) | ((f4 >> 15) << AFTER_F4);
        return (bad_byte | ((expected & 0xFFFF) ^ cont) | (bad_second & 0xFFFF)) == 0;
    }
    carry = 0;
    return (bad_byte | (expected ^ cont) | (bad_second & region)) == 0;
}

#endif  // TARNO_VESK_JSON_SSE2

}  // namespace

bool read_string_portable(std::string_view text, std::size_t& pos, std::string& out) {
    const char* src = text.data() + pos;
    const char* const end = text.data() + text.size();
    out.clear();
    bool sized = false;
    char escaped[4];
    for (;;) {
        // Sized like the vector path's output, once the string is no longer short.
        if (!sized && out.size() >= CHUNK) {
            out.reserve(out.size() + static_cast<std::size_t>(end - src));
            prefer_huge_pages(out);
            sized = true;
        }
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
            Utf8Carry carry = 0;
            if (src + i < end && src[i] == '"' &&
                (high == 0 || valid_utf8(v, high, (1u << i) - 1, carry))) {
                out.assign(src, static_cast<std::size_t>(i));
                pos += static_cast<std::size_t>(i) + 1;
                return true;
            }
        }
    }

    out.clear();
    alignas(16) char chunk[CHUNK];
    Output o{out, chunk};
    Utf8Carry carry = 0;
    for (;;) {
        if (!o.room()) o.flush(src, end);
        const char* const block = src;
        const __m128i v = load_block(block, end);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(o.dst), v);
        const uint32_t high = mask_of(v);
        // The whole block is checked at once; escapes cannot hide a fault, being ASCII. A fault
        // may lie past the closing quotation mark, though, and then the string itself is
        // fine: the exact path sorts that out, once.
        if ((high | carry) != 0 && !valid_utf8(v, high, 0xFFFF, carry)) {
            return read_string_portable(text, pos, out);
        }
        const uint32_t quotes = mask_of(_mm_cmpeq_epi8(v, quote));
        const uint32_t backslashes = mask_of(_mm_cmpeq_epi8(v, backslash));
        const uint32_t controls = mask_of(_mm_cmplt_epi8(v, space)) & ~high;
        uint32_t special = quotes | backslashes | controls;
        if (special == 0) {
            src += 16;
            o.dst += 16;
            continue;
        }
        // Take every special byte of the block from the masks, without scanning it again.
        for (;;) {
            const int i = __builtin_ctz(special);
            o.dst += block + i - src;
            src = block + i;
            const uint32_t bit = 1u << i;
            if (quotes & bit) {
                o.finish();
                pos = static_cast<std::size_t>(src + 1 - text.data());
                return true;
            }
            if (!(backslashes & bit)) return false;  // a raw control character, or the end
            src = decode_escape(src, end, o.dst);
            if (src == nullptr) return false;
            // An escape that reaches past the block leaves no sequence open: its bytes are
            // ASCII, so `carry` is empty then.
            if (src >= block + 16) break;
            _mm_storeu_si128(reinterpret_cast<__m128i*>(o.dst), load_block(src, end));
            special &= ~0u << (src - block);
            if (special == 0) {
                o.dst += block + 16 - src;
                src = block + 16;
                break;
            }
        }
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
