// The application's widget style: the platform's own, with the icons that a start would load
// but hardly ever shows left until they are drawn.
#pragma once

class QStyle;

namespace platform {

// A style for QApplication::setStyle() (which takes it over): the default style in every
// respect, except that the tool bar's extension-button icons are loaded only when first drawn.
// Loading them means probing every image-format plugin, which an empty tool bar never needs.
QStyle *createAppStyle();

} // namespace platform
