#include "screen.hpp"

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <memory>

namespace tarno_vesk::e2e {

long count_pixels(XDisplay* display, XWindow window, std::uint32_t rgb) {
    auto size = window_size(display, window);
    if (!size || !window_viewable(display, window)) return 0;
    // XDestroyImage is a macro; the deleter calls it through the image's own function.
    auto destroy = [](XImage* image) { XDestroyImage(image); };
    std::unique_ptr<XImage, decltype(destroy)> image(
        XGetImage(display, window, 0, 0, static_cast<unsigned>(size->width),
                  static_cast<unsigned>(size->height), AllPlanes, ZPixmap),
        destroy);
    if (!image) return 0;
    long count = 0;
    for (int y = 0; y < size->height; ++y) {
        for (int x = 0; x < size->width; ++x) {
            if ((XGetPixel(image.get(), x, y) & 0xFFFFFF) == rgb) ++count;
        }
    }
    return count;
}

}  // namespace tarno_vesk::e2e
