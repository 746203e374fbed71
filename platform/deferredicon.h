// An icon made only when it is first drawn or asked about.
#pragma once

#include <QIcon>

#include <functional>

namespace platform {

// An icon that calls `make` the first time anything about it is asked (its pixmaps, its sizes,
// its painting) and is that icon from then on. It is never null: `make` must give an icon.
QIcon deferredIcon(std::function<QIcon()> make);

} // namespace platform
