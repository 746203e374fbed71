// The program's icon at each of its sizes, as pixels decoded at build time (iconpixels.cpp).
#pragma once

#include <cstddef>
#include <cstdint>

namespace res {

struct IconPixels
{
    int width;
    int height;
    // ARGB, not premultiplied, as the window system takes a window's icon; rows top to bottom.
    const uint32_t *pixels;
};

extern const IconPixels kIconPixels[];
extern const size_t kIconPixelsCount;

} // namespace res
