// Dialog templates as plain data: what the resources hold and the platform's builder reads.
// Depends on nothing, so that the resources depend on no layer that reads them.
#pragma once

#include <span>

namespace dialogdata {

enum class ControlKind
{
    PushButton,
    DefPushButton,
    GroupBox,
    ListBox,
    ComboBox,
    Label,
    Icon
};

// Style bits of a template control that the builder honours.
enum ControlStyle : unsigned
{
    NoStyle = 0,
    TabStop = 1u << 0,
    Disabled = 1u << 1,
    AlignRight = 1u << 2,  // label text at the right
    AlignCenter = 1u << 3, // label text centred horizontally
    VCenter = 1u << 4,     // label text centred vertically
    SunkenEdge = 1u << 5,  // label with a sunken frame
    Sorted = 1u << 6,      // combo box keeping its list sorted
    EditField = 1u << 7,   // combo box with an edit field
};

// A position and size, or a size alone, in dialog units.
struct Rect
{
    int x;
    int y;
    int width;
    int height;
};

struct Size
{
    int width;
    int height;
};

struct ControlTemplate
{
    int id; // -1 for a control without an id
    ControlKind kind;
    const char *caption;
    Rect units;
    unsigned style;
};

struct DialogTemplate
{
    int id;
    Size units;
    const char *caption;
    std::span<const ControlTemplate> controls;
};

} // namespace dialogdata
