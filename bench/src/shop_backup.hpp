// Deterministic messages for the benchmarks.
//
// The realistic one is a shop backup (products, customers, invoices with Persian names) that
// bench/web/shop_backup.js builds the same way, record for record, from the same word list
// (bench/web/words.json) and the same 32-bit LCG: JSON.stringify of the page's object gives
// exactly the text shop_backup() returns here, which bench/run checks on the file the real
// program writes.
#pragma once

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "bridge/command.hpp"

namespace bench {

struct Words {
    std::string shop, shop_city, currency;
    std::vector<std::string> first_names, last_names, products, brands, categories, units, cities,
        streets, notes, ascii_words;
};

inline Words load_words(const std::string& path) {
    std::ifstream in(path);
    if (!in) throw std::runtime_error("cannot read " + path);
    const auto j = nlohmann::json::parse(in);
    Words w;
    w.shop = j.at("shop");
    w.shop_city = j.at("shopCity");
    w.currency = j.at("currency");
    w.first_names = j.at("firstNames").get<std::vector<std::string>>();
    w.last_names = j.at("lastNames").get<std::vector<std::string>>();
    w.products = j.at("products").get<std::vector<std::string>>();
    w.brands = j.at("brands").get<std::vector<std::string>>();
    w.categories = j.at("categories").get<std::vector<std::string>>();
    w.units = j.at("units").get<std::vector<std::string>>();
    w.cities = j.at("cities").get<std::vector<std::string>>();
    w.streets = j.at("streets").get<std::vector<std::string>>();
    w.notes = j.at("notes").get<std::vector<std::string>>();
    w.ascii_words = j.at("asciiWords").get<std::vector<std::string>>();
    return w;
}

// The page's generator uses the same constants: Math.imul(s, 1664525) + 1013904223 >>> 0.
struct Rng {
    uint32_t s = 20240515u;
    uint32_t next() { return s = s * 1664525u + 1013904223u; }
    uint32_t below(uint32_t n) { return (next() >> 8) % n; }
    const std::string& pick(const std::vector<std::string>& v) {
        return v[below(static_cast<uint32_t>(v.size()))];
    }
};

inline std::string pad(uint64_t value, std::size_t width) {
    std::string digits = std::to_string(value);
    if (digits.size() < width) digits.insert(0, width - digits.size(), '0');
    return digits;
}

// Appends `"key":` then the value, with a leading comma unless first.
struct ObjectWriter {
    std::string& out;
    bool first = true;
    explicit ObjectWriter(std::string& o) : out(o) { out += '{'; }
    void key(const char* k) {
        if (!first) out += ',';
        first = false;
        out += '"';
        out += k;
        out += "\":";
    }
    // Word-list strings hold no character JSON escapes.
    void str(const char* k, const std::string& v) {
        key(k);
        out += '"';
        out += v;
        out += '"';
    }
    void num(const char* k, uint64_t v) {
        key(k);
        out += std::to_string(v);
    }
    void boolean(const char* k, bool v) {
        key(k);
        out += v ? "true" : "false";
    }
    void close() { out += '}'; }
};

// The backup a page hands to saveBackup for `units` (products and customers: units each,
// invoices: 4 * units), as JSON.stringify writes it.
inline std::string shop_backup(const Words& w, uint32_t units) {
    Rng r;
    std::string out;
    out.reserve(static_cast<std::size_t>(units) * 1100 + 4096);
    ObjectWriter top(out);
    top.str("format", "tarno-vesk-backup");
    top.num("version", 3);
    top.str("createdAt", "1403/02/15 10:20");
    top.key("shop");
    {
        ObjectWriter shop(out);
        shop.str("name", w.shop);
        shop.str("city", w.shop_city);
        shop.str("currency", w.currency);
        shop.close();
    }
    top.key("products");
    out += '[';
    for (uint32_t i = 1; i <= units; ++i) {
        if (i > 1) out += ',';
        // One random draw per statement: the page draws in this order too.
        const std::string& product = r.pick(w.products);
        const std::string& brand = r.pick(w.brands);
        const std::string name = product + " " + brand;
        const std::string& category = r.pick(w.categories);
        const std::string& unit = r.pick(w.units);
        const uint64_t cost = (1 + r.below(5000)) * 1000ull;
        const uint64_t price = cost + (1 + r.below(50)) * 500ull;
        const uint64_t stock = r.below(500);
        const uint64_t min_stock = r.below(20);
        ObjectWriter p(out);
        p.num("id", i);
        p.str("code", "P-" + pad(i, 6));
        p.str("name", name);
        p.str("category", category);
        p.str("unit", unit);
        p.num("price", price);
        p.num("cost", cost);
        p.num("stock", stock);
        p.num("minStock", min_stock);
        p.close();
    }
    out += ']';
    top.key("customers");
    out += '[';
    for (uint32_t i = 1; i <= units; ++i) {
        if (i > 1) out += ',';
        const std::string& first = r.pick(w.first_names);
        const std::string& last = r.pick(w.last_names);
        const std::string name = first + " " + last;
        const std::string& city = r.pick(w.cities);
        const std::string& street = r.pick(w.streets);
        const uint64_t plate = 1 + r.below(200);
        const std::string phone = "0912" + pad(r.below(10000000), 7);
        const uint64_t balance = r.below(2000000) * 100ull;
        const std::string& note = r.pick(w.notes);
        ObjectWriter c(out);
        c.num("id", i);
        c.str("name", name);
        c.str("phone", phone);
        c.str("city", city);
        c.str("address", street + "\xD8\x8C \xD9\xBE\xD9\x84\xD8\xA7\xDA\xA9 " +
                             std::to_string(plate));  // "، پلاک N"
        c.num("balance", balance);
        c.str("note", note);
        c.close();
    }
    out += ']';
    top.key("invoices");
    out += '[';
    for (uint32_t i = 1; i <= 4 * units; ++i) {
        if (i > 1) out += ',';
        const uint64_t customer = 1 + r.below(units);
        const uint64_t month = 1 + r.below(12);
        const uint64_t day = 1 + r.below(29);
        const uint32_t count = 1 + r.below(5);
        std::string items = "[";
        uint64_t sum = 0;
        for (uint32_t k = 0; k < count; ++k) {
            const uint64_t product = 1 + r.below(units);
            const uint64_t qty = 1 + r.below(10);
            const uint64_t price = (1 + r.below(5000)) * 1000ull;
            sum += qty * price;
            if (k > 0) items += ',';
            ObjectWriter it(items);
            it.num("productId", product);
            it.num("qty", qty);
            it.num("price", price);
            it.close();
        }
        items += ']';
        const uint64_t discount = sum * r.below(10) / 100;
        const bool paid = r.below(4) != 0;
        const std::string& note = r.pick(w.notes);
        ObjectWriter v(out);
        v.num("id", i);
        v.str("number", "INV-1403-" + pad(i, 6));
        v.str("date", "1403/" + pad(month, 2) + "/" + pad(day, 2));
        v.num("customerId", customer);
        v.key("items");
        out += items;
        v.num("discount", discount);
        v.num("total", sum - discount);
        v.boolean("paid", paid);
        v.str("note", note);
        v.close();
    }
    out += ']';
    top.close();
    return out;
}

// A long ASCII text with nothing JSON escapes: no quotation mark, backslash or control byte.
inline std::string ascii_text(const Words& w, uint32_t units) {
    Rng r;
    std::string out;
    out.reserve(static_cast<std::size_t>(units) * 1100);
    for (uint32_t i = 1; i <= units * 20; ++i) {
        const std::string& item = r.pick(w.ascii_words);
        const uint32_t qty = 1 + r.below(10);
        const uint64_t price = (1 + r.below(5000)) * 1000ull;
        out += "id=" + std::to_string(i) + ";item=" + item + ";qty=" + std::to_string(qty) +
               ";price=" + std::to_string(price) + "|";
    }
    return out;
}

// Every non-ASCII character written as a \uXXXX escape (the text holds only BMP characters).
inline std::string escape_non_ascii(const std::string& text) {
    static constexpr char HEX[] = "0123456789abcdef";
    std::string out;
    out.reserve(text.size() * 3);
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            out += static_cast<char>(c);
            ++i;
            continue;
        }
        unsigned cp = 0;
        if ((c & 0xE0) == 0xC0) {
            cp = ((c & 0x1Fu) << 6) | (static_cast<unsigned char>(text[i + 1]) & 0x3Fu);
            i += 2;
        } else if ((c & 0xF0) == 0xE0) {
            cp = ((c & 0x0Fu) << 12) | ((static_cast<unsigned char>(text[i + 1]) & 0x3Fu) << 6) |
                 (static_cast<unsigned char>(text[i + 2]) & 0x3Fu);
            i += 3;
        } else {
            throw std::runtime_error("non-BMP character in the word list");
        }
        out += "\\u";
        for (int shift = 12; shift >= 0; shift -= 4)
            out += HEX[(cp >> shift) & 0xF];
    }
    return out;
}

enum class Shape { shop, ascii, escaped };

inline const char* shape_name(Shape s) {
    switch (s) {
        case Shape::shop:
            return "shop-backup";
        case Shape::ascii:
            return "ascii";
        case Shape::escaped:
            return "u-escaped";
    }
    return "?";
}

// The save_backup message text of a shape, as the page bridge posts it.
inline std::string message(const Words& w, Shape shape, uint32_t units) {
    using tarno_vesk::encode_command;
    using tarno_vesk::SaveBackup;
    switch (shape) {
        case Shape::shop:
            return encode_command(SaveBackup{shop_backup(w, units)});
        case Shape::ascii:
            return encode_command(SaveBackup{ascii_text(w, units)});
        case Shape::escaped:
            return escape_non_ascii(encode_command(SaveBackup{shop_backup(w, units)}));
    }
    return {};
}

// The message of `shape` closest to `bytes` long (within about 3%), and its units.
inline std::string sized_message(const Words& w, Shape shape, std::size_t bytes,
                                 uint32_t* units_out = nullptr) {
    constexpr uint32_t PROBE = 4096;
    double per_unit = static_cast<double>(message(w, shape, PROBE).size()) / PROBE;
    for (;;) {
        const auto units =
            std::max<uint32_t>(1, static_cast<uint32_t>(static_cast<double>(bytes) / per_unit));
        std::string text = message(w, shape, units);
        const double error = static_cast<double>(text.size()) / static_cast<double>(bytes);
        // Records grow a little with their ids: one correction is enough.
        if ((error > 0.97 && error < 1.03) || units == 1) {
            if (units_out != nullptr) *units_out = units;
            return text;
        }
        per_unit = static_cast<double>(text.size()) / units;
    }
}

}  // namespace bench
