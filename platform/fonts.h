// Fonts the program draws with.
#pragma once

#include <QFont>

namespace platform {

// Registers the bundled Tahoma (regular and bold) with the application's font database.
// Safe to call more than once; returns false when the files are not installed, in which case
// Qt substitutes DejaVu Sans.
bool loadFonts();

// The form's dialog font: "MS Shell Dlg" at 8 points, realised as Tahoma.
QFont dialogFont();

} // namespace platform
