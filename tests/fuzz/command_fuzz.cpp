// libFuzzer target for the page command decoder (run by scripts/fuzz).
//
// Besides crashes and sanitizer reports it checks two properties:
// - whatever decodes, re-encoded canonically, decodes to the same command;
// - the vector string reader agrees with the byte-at-a-time one it is meant to match, on the
//   input taken as the inside of a JSON string.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "bridge/command.hpp"
#include "json/json_reader.hpp"

namespace {

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "property violated: %s\n", what);
    std::abort();
}

void check_round_trip(std::string_view text) {
    using namespace tarno_vesk;
    const auto command = decode_command(text);
    if (!command) return;
    const std::string encoded = encode_command(*command);
    const auto again = decode_command(encoded);
    if (!again) fail("the canonical text of a decoded command is rejected");
    if (*again != *command) fail("the canonical text decodes to another command");
    if (encode_command(*again) != encoded) fail("the canonical text is not stable");
}

void check_string_readers_agree(std::string_view text) {
    using namespace tarno_vesk::json::detail;
    std::size_t fast_pos = 0;
    std::size_t slow_pos = 0;
    std::string fast;
    std::string slow;
    const bool fast_ok = read_string(text, fast_pos, fast);
    const bool slow_ok = read_string_portable(text, slow_pos, slow);
    if (fast_ok != slow_ok) fail("string readers disagree on acceptance");
    if (!fast_ok) return;
    if (fast_pos != slow_pos) fail("string readers stop at different places");
    if (fast != slow) fail("string readers decode different text");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    check_round_trip(text);
    check_string_readers_agree(text);
    return 0;
}
