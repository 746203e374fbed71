#include "hostdemoprocess.h"

#include "polling.h"

HostDemoProcess::HostDemoProcess(const QString &title, QPoint position) : m_title(title)
{
    // Its warnings are worth seeing in a failing test's output.
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_process.start(QStringLiteral(HOSTDEMO_PATH),
                    {title, QStringLiteral("--x"), QString::number(position.x()),
                     QStringLiteral("--y"), QString::number(position.y())});
    m_process.waitForStarted();
}

HostDemoProcess::~HostDemoProcess()
{
    kill();
}

QStringList HostDemoProcess::lines()
{
    m_partial += m_process.readAllStandardOutput();
    qsizetype end;
    while ((end = m_partial.indexOf('\n')) >= 0) {
        m_lines << QString::fromUtf8(m_partial.left(end));
        m_partial.remove(0, end + 1);
    }
    return m_lines;
}

bool HostDemoProcess::waitForLine(const QString &line)
{
    return waitUntil([&] { return lines().contains(line); });
}

void HostDemoProcess::kill()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.kill();
    m_process.waitForFinished();
}
