// A dovrax-hostdemo child process and the key lines it prints.
#pragma once

#include <QPoint>
#include <QProcess>
#include <QStringList>

class HostDemoProcess
{
public:
    // Starts the demo with `title` at `position` (its frame's top-left corner).
    HostDemoProcess(const QString &title, QPoint position);
    // Kills the demo if it still runs.
    ~HostDemoProcess();

    HostDemoProcess(const HostDemoProcess &) = delete;
    HostDemoProcess &operator=(const HostDemoProcess &) = delete;

    const QString &title() const { return title_; }
    // Lines printed so far.
    QStringList lines();
    // Waits (bounded) until the demo has printed `line`.
    bool waitForLine(const QString &line);
    // Kills the demo and waits for it to end.
    void kill();

private:
    QString title_;
    QProcess process_;
    QStringList lines_;
    QByteArray partial_;
};
