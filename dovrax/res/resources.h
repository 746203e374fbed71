// The program's resources as data: dialog templates, menu, accelerators and strings.
#pragma once

#include "dialogdata.h"

#include <QIcon>
#include <QKeySequence>
#include <QString>

#include <cstdint>
#include <span>

namespace res {

const dialogdata::DialogTemplate &formTemplate();     // dialog 101
const dialogdata::DialogTemplate &aboutBoxTemplate(); // dialog 100

// Initial items of the form's combo boxes, in the order they are added.
std::span<const char *const> deviceComboItems();
std::span<const char *const> outputComboItems();

struct MenuEntry
{
    const char *text; // null for a separator
    int command;
};

struct MenuColumn
{
    const char *title;
    int command; // for an entry without a pop-up
    std::span<const MenuEntry> entries;
};

std::span<const MenuColumn> mainMenu(); // menu 128

struct Accelerator
{
    QKeyCombination keys;
    int command;
};

std::span<const Accelerator> accelerators(); // accelerator table 128

// Icon 128, the program's icon, at every size it is drawn in.
QIcon appIcon();
// The same icon laid out as a window's icon property holds it (width, height and pixels of
// each size, as appIcon() lists them), for sending it without converting.
std::span<const uint32_t> appIconProperty();

// String table lookup; empty for an unknown id.
QString loadString(int id);
// The status-bar prompt of a command (the text before the line break of its string).
QString commandPrompt(int command);

inline constexpr const char *kWindowTitle = "DOVRAX ( For Test)";
inline constexpr const char *kAppTitle = "DOVRAX";
inline constexpr const char *kVersion = "1.0.0.1";

} // namespace res
