// The application's icon, and the main window's icon sent to the window system as it was laid
// out when the program was built rather than converted from a QIcon at each start.
#pragma once

#include <QIcon>

#include <cstdint>
#include <functional>
#include <span>

class QWidget;

namespace platform {

// Sets the application's icon (that of every window without one of its own) to the icon
// `make` gives, made only when something first draws it or asks about it. `property` is the
// same icon laid out as the window system's icon property holds it (for each size: width,
// height and the pixels, ARGB, not premultiplied); it must stay valid to the end.
void setApplicationIcon(std::function<QIcon()> make, std::span<const uint32_t> property);

// Makes the top-level `window`'s native window, as its first show would. On X11, when the
// window shows the application's icon, its icon property is then set to the application
// icon's property as it stands, and Qt converts and sends nothing for it. Elsewhere, and for
// a window made already, this leaves everything to the show.
void createWithApplicationIcon(QWidget *window);

} // namespace platform
