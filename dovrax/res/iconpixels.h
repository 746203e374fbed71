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

// The same sizes in the same order, laid out as a window's icon property holds them: for each
// size its width, its height and its pixels. The entries above point into it.
extern const uint32_t kIconProperty[];
extern const size_t kIconPropertyLength;

} // namespace res
