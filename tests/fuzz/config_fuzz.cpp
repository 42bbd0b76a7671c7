// libFuzzer target for the settings file reader (run by scripts/fuzz).
//
// Besides crashes and sanitizer reports it checks that every accepted record, written out
// the way save_config writes it, reads back as the same record, and that the written text
// is a fixed point.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "settings/config.hpp"

namespace {

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "property violated: %s\n", what);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace tarno_vesk;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto config = parse_config(text);
    if (!config) return 0;
    const std::string written = format_config(*config);
    const auto again = parse_config(written);
    if (!again) fail("the written settings are rejected");
    if (*again != *config) fail("the written settings read back as another record");
    if (format_config(*again) != written) fail("the written settings are not stable");
    return 0;
}
