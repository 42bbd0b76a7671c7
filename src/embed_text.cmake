# Turns a text file into a C++ source defining `extern const std::string_view SYMBOL`,
# byte for byte (the bytes are written as hex so no text of the file needs escaping).
file(READ ${INPUT} hex HEX)
string(LENGTH "${hex}" hex_len)
math(EXPR byte_count "${hex_len} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${hex}")
file(WRITE ${OUTPUT}
"// Generated from ${INPUT}; edit that file instead.\n"
"#include <string_view>\n"
"namespace tarno_vesk {\n"
"namespace {\nconstexpr char bytes[] = {${bytes} '\\0'};\n}\n"
"extern const std::string_view ${SYMBOL};\n"
"const std::string_view ${SYMBOL}{bytes, ${byte_count}};\n"
"}  // namespace tarno_vesk\n")
