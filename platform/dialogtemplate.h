// Dialog templates held as data, and the builder that turns one into child widgets.
#pragma once

#include <QRect>
#include <QString>

#include <functional>
#include <span>

class QWidget;

namespace platform {

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

struct ControlTemplate
{
    int id; // -1 for a control without an id
    ControlKind kind;
    const char *caption;
    QRect units; // position and size in dialog units
    unsigned style;
};

struct DialogTemplate
{
    int id;
    QSize units; // size in dialog units
    const char *caption;
    std::span<const ControlTemplate> controls;
};

// Dialog units to pixels: x * 6 / 4 and y * 13 / 8, truncated toward zero.
QRect dialogUnitsToPixels(const QRect &units);
QSize dialogUnitsToPixels(const QSize &units);

// Makes the widget for one control, or returns null to let the builder make its default one.
using ControlFactory = std::function<QWidget *(const ControlTemplate &, QWidget *parent)>;

// Creates the template's controls as children of `form`, in template order, which is also the
// tab order, and sizes `form` to the template. Each control can then be found by its id.
void buildDialog(QWidget *form, const DialogTemplate &dialog, const ControlFactory &factory = {});

// The control with `id` among the children of `form`, or null.
QWidget *controlById(const QWidget *form, int id);

// The id a built control was given, or -1.
int controlId(const QWidget *control);

} // namespace platform
