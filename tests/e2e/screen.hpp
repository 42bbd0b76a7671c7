// Looking at what a window shows, for tests that cannot ask the page.
#pragma once

#include <cstdint>

#include "e2e/support/e2e_support.hpp"

namespace tarno_vesk::e2e {

// How many pixels of the window have exactly the colour 0xRRGGBB (0 if it is not viewable).
long count_pixels(XDisplay* display, XWindow window, std::uint32_t rgb);

}  // namespace tarno_vesk::e2e
