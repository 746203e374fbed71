#include "demowindow.h"

#include <QKeyEvent>
#include <QLabel>
#include <QListWidget>
#include <QVBoxLayout>

#include <cstdio>

DemoWindow::DemoWindow(QWidget *parent)
    : QWidget(parent), keys_(new QListWidget(this)), position_(new QLabel(this))
{
    // The window itself takes every key; a focused list would swallow the arrows and letters.
    keys_->setFocusPolicy(Qt::NoFocus);
    setFocusPolicy(Qt::StrongFocus);

    auto *layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel(tr("Keys received:"), this));
    layout->addWidget(keys_, 1);
    layout->addWidget(position_);
    resize(420, 320);
    showPosition();
}

QString DemoWindow::describeKey(const QKeyEvent &event)
{
    const int key = event.key();
    switch (key) {
    case Qt::Key_Control:
    case Qt::Key_Shift:
    case Qt::Key_Alt:
    case Qt::Key_Meta:
    case Qt::Key_AltGr:
    case Qt::Key_unknown:
        return {};
    default:
        break;
    }

    QStringList modifiers;
    if (event.modifiers() & Qt::ControlModifier)
        modifiers << QStringLiteral("Ctrl");
    if (event.modifiers() & Qt::AltModifier)
        modifiers << QStringLiteral("Alt");

    // With Ctrl or Alt held the text is a control code or nothing; name the key instead.
    const QString text = event.text();
    const bool printable = !text.isEmpty() && text.at(0).isPrint();
    if (modifiers.isEmpty() && printable)
        return QStringLiteral("Char: ") + text;

    const QString name = QKeySequence(key).toString(QKeySequence::PortableText);
    if (name.isEmpty())
        return {};
    modifiers << name;
    return QStringLiteral("Key: ") + modifiers.join(QLatin1Char('+'));
}

void DemoWindow::keyPressEvent(QKeyEvent *event)
{
    const QString line = describeKey(*event);
    if (line.isEmpty()) {
        QWidget::keyPressEvent(event);
        return;
    }
    log(line);
}

void DemoWindow::moveEvent(QMoveEvent *event)
{
    QWidget::moveEvent(event);
    showPosition();
}

void DemoWindow::log(const QString &line)
{
    keys_->addItem(line);
    keys_->scrollToBottom();
    // Whoever started us reads these lines; flush so they arrive while we keep running.
    std::fputs(qPrintable(line + QLatin1Char('\n')), stdout);
    std::fflush(stdout);
}

void DemoWindow::showPosition()
{
    const QPoint p = frameGeometry().topLeft();
    position_->setText(tr("Position: %1, %2").arg(p.x()).arg(p.y()));
}
