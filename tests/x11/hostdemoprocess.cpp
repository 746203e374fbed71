#include "hostdemoprocess.h"

#include "polling.h"

HostDemoProcess::HostDemoProcess(const QString &title, QPoint position) : title_(title)
{
    // Its warnings are worth seeing in a failing test's output.
    process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process_.start(QStringLiteral(HOSTDEMO_PATH),
                   {title, QStringLiteral("--x"), QString::number(position.x()),
                    QStringLiteral("--y"), QString::number(position.y())});
    process_.waitForStarted();
}

HostDemoProcess::~HostDemoProcess()
{
    kill();
}

QStringList HostDemoProcess::lines()
{
    partial_ += process_.readAllStandardOutput();
    qsizetype end;
    while ((end = partial_.indexOf('\n')) >= 0) {
        lines_ << QString::fromUtf8(partial_.left(end));
        partial_.remove(0, end + 1);
    }
    return lines_;
}

bool HostDemoProcess::waitForLine(const QString &line)
{
    return waitUntil([&] { return lines().contains(line); });
}

void HostDemoProcess::kill()
{
    if (process_.state() == QProcess::NotRunning)
        return;
    process_.kill();
    process_.waitForFinished();
}
