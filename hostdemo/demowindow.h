// The host demo's window: a log of the keys it receives and its position on screen.
#pragma once

#include <QWidget>

class QKeyEvent;
class QLabel;
class QListWidget;

class DemoWindow : public QWidget
{
    Q_OBJECT

public:
    explicit DemoWindow(QWidget *parent = nullptr);

    // The log line for a key press ("Key: F5", "Key: Ctrl+P", "Char: H"); empty for keys that
    // are not logged (modifiers on their own, unprintable keys).
    static QString describeKey(const QKeyEvent &event);

protected:
    void keyPressEvent(QKeyEvent *event) override;
    void moveEvent(QMoveEvent *event) override;

private:
    void log(const QString &line);
    void showPosition();

    QListWidget *keys_;
    QLabel *position_;
};
