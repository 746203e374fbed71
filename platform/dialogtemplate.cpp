#include "dialogtemplate.h"

#include "messagelist.h"
#include "sortedcombobox.h"

#include <QAbstractItemView>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QVariant>

namespace platform {

using dialogdata::ControlKind;
using dialogdata::ControlTemplate;
using dialogdata::DialogTemplate;

namespace {

constexpr const char *kIdProperty = "dovraxControlId";
// How many items an open drop-down list shows before it scrolls.
constexpr int kComboVisibleItems = 30;

QWidget *makeDefault(const ControlTemplate &control, QWidget *parent)
{
    const QString caption = QString::fromUtf8(control.caption ? control.caption : "");
    switch (control.kind) {
    case ControlKind::PushButton:
    case ControlKind::DefPushButton: {
        auto *button = new QPushButton(caption, parent);
        button->setDefault(control.kind == ControlKind::DefPushButton);
        button->setAutoDefault(false);
        return button;
    }
    case ControlKind::GroupBox:
        return new QGroupBox(caption, parent);
    case ControlKind::ListBox:
        return new MessageList(parent);
    case ControlKind::ComboBox:
        return new SortedComboBox(parent);
    case ControlKind::Label:
    case ControlKind::Icon: {
        auto *label = new QLabel(caption, parent);
        Qt::Alignment align = Qt::AlignLeft;
        if (control.style & dialogdata::AlignRight)
            align = Qt::AlignRight;
        if (control.style & dialogdata::AlignCenter)
            align = Qt::AlignHCenter;
        align |= (control.style & dialogdata::VCenter) ? Qt::AlignVCenter : Qt::AlignTop;
        label->setAlignment(align);
        if (control.style & dialogdata::SunkenEdge)
            label->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        return label;
    }
    }
    return nullptr;
}

} // namespace

QRect dialogUnitsToPixels(const dialogdata::Rect &units)
{
    return QRect(units.x * 6 / 4, units.y * 13 / 8, units.width * 6 / 4, units.height * 13 / 8);
}

QSize dialogUnitsToPixels(const dialogdata::Size &units)
{
    return QSize(units.width * 6 / 4, units.height * 13 / 8);
}

void buildDialog(QWidget *form, const DialogTemplate &dialog, const ControlFactory &factory)
{
    form->setFixedSize(dialogUnitsToPixels(dialog.units));
    QWidget *previous = nullptr;
    for (const ControlTemplate &control : dialog.controls) {
        QWidget *widget = factory ? factory(control, form) : nullptr;
        if (!widget)
            widget = makeDefault(control, form);
        widget->setProperty(kIdProperty, control.id);
        if (control.id >= 0)
            widget->setObjectName(QString::number(control.id));
        QRect geometry = dialogUnitsToPixels(control.units);
        if (auto *combo = qobject_cast<QComboBox *>(widget)) {
            // A combo box's template height includes its drop-down list, but the themed common
            // controls size the list by its items, up to 30 of them: the template height only
            // bounds the closed box.
            geometry.setHeight(qMin(geometry.height(), combo->sizeHint().height()));
            combo->setMaxVisibleItems(kComboVisibleItems);
        }
        widget->setGeometry(geometry);
        widget->setEnabled(!(control.style & dialogdata::Disabled));
        if (control.style & dialogdata::TabStop) {
            widget->setFocusPolicy(Qt::StrongFocus);
            if (previous)
                QWidget::setTabOrder(previous, widget);
            previous = widget;
        } else if (!qobject_cast<QComboBox *>(widget) && !qobject_cast<MessageList *>(widget)) {
            widget->setFocusPolicy(Qt::NoFocus);
        }
        widget->show();
    }
    // As in a classic dialog, a group box is only a frame drawn around its neighbours: it sits
    // below every other control and lets their clicks through, whatever the template order.
    for (QGroupBox *group : form->findChildren<QGroupBox *>(Qt::FindDirectChildrenOnly)) {
        group->setAttribute(Qt::WA_TransparentForMouseEvents);
        group->lower();
    }
}

QWidget *controlById(const QWidget *form, int id)
{
    if (!form || id < 0)
        return nullptr;
    return form->findChild<QWidget *>(QString::number(id), Qt::FindDirectChildrenOnly);
}

int controlId(const QWidget *control)
{
    const QVariant id = control ? control->property(kIdProperty) : QVariant();
    return id.isValid() ? id.toInt() : -1;
}

} // namespace platform
