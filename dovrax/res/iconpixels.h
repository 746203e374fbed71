// The program's icon at each of its sizes, as pixels decoded at build time (iconpixels.cpp).
#pragma once

#include <cstddef>
#include <cstdint>

namespace res {

struct IconPixels
{
    int width;
    int height;
    const uint32_t *pixels; // premultiplied ARGB, rows top to bottom
};

extern const IconPixels kIconPixels[];
extern const size_t kIconPixelsCount;

} // namespace res
