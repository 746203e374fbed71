// The builder that turns a dialog template (plain data) into child widgets.
#pragma once

#include "dialogdata.h"

#include <QRect>
#include <QString>

#include <functional>

class QWidget;

namespace platform {

// Dialog units to pixels: x * 6 / 4 and y * 13 / 8, truncated toward zero.
QRect dialogUnitsToPixels(const dialogdata::Rect &units);
QSize dialogUnitsToPixels(const dialogdata::Size &units);

// Makes the widget for one control, or returns null to let the builder make its default one.
using ControlFactory =
    std::function<QWidget *(const dialogdata::ControlTemplate &, QWidget *parent)>;

// Creates the template's controls as children of `form`, in template order, which is also the
// tab order, and sizes `form` to the template. Each control can then be found by its id.
void buildDialog(QWidget *form, const dialogdata::DialogTemplate &dialog,
                 const ControlFactory &factory = {});

// The control with `id` among the children of `form`, or null.
QWidget *controlById(const QWidget *form, int id);

// The id a built control was given, or -1.
int controlId(const QWidget *control);

} // namespace platform
