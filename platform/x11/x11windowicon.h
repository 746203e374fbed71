// The X11 side of windowicon.h, on Qt's own connection.
#pragma once

#include <cstdint>
#include <span>

class QWindow;

namespace platform {

// Sets the made `window`'s icon property to `property` as it stands; false when that could
// not be done (not on X11, or larger than the server takes in one request).
bool x11SetIconProperty(QWindow *window, std::span<const uint32_t> property);

} // namespace platform
