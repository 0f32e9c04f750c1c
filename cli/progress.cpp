#include "progress.h"

#include "terminalevents.h"

#include <algorithm>
#include <iostream>

#include <sys/ioctl.h>
#include <unistd.h>

namespace {

constexpr int RedrawIntervalMs = 100;

QString durationText(qint64 seconds)
{
    if (seconds >= 3600)
        return QStringLiteral("%1:%2:%3")
            .arg(seconds / 3600)
            .arg(seconds / 60 % 60, 2, 10, QLatin1Char('0'))
            .arg(seconds % 60, 2, 10, QLatin1Char('0'));
    return QStringLiteral("%1:%2").arg(seconds / 60).arg(seconds % 60, 2, 10, QLatin1Char('0'));
}

int terminalColumns()
{
    winsize size{};
    if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 20)
        return size.ws_col;
    return 80;
}

// "12.0 KB / 50.0 KB  24%  5.6 KB/s  0:07 left", as far as the figures are known.
QString figures(qint64 done, qint64 total, qint64 elapsedMs)
{
    QString text = byteText(done);
    if (total > 0)
        text += QStringLiteral(" / %1  %2%").arg(byteText(total)).arg(done * 100 / total);
    if (elapsedMs >= 500 && done > 0) {
        const double rate = double(done) * 1000.0 / double(elapsedMs);
        text += QStringLiteral("  %1/s").arg(byteText(qint64(rate)));
        if (total > done)
            text += QStringLiteral("  %1 left").arg(durationText(qint64(double(total - done) / rate + 0.5)));
    }
    return text;
}

} // namespace

QString byteText(qint64 bytes)
{
    if (bytes < 1024)
        return QStringLiteral("%1 B").arg(bytes);
    if (bytes < 1024 * 1024)
        return QStringLiteral("%1 KB").arg(double(bytes) / 1024.0, 0, 'f', 1);
    return QStringLiteral("%1 MB").arg(double(bytes) / (1024.0 * 1024.0), 0, 'f', 1);
}

ProgressMeter::ProgressMeter(bool enabled) : m_enabled(enabled) {}

void ProgressMeter::beginTree(int files, qint64 bytes)
{
    m_inTree = true;
    m_treeFiles = files;
    m_treeIndex = 0;
    m_treeBytes = bytes;
    m_treeDone = 0;
    m_treeClock.start();
}

void ProgressMeter::endTree()
{
    clear();
    m_inTree = false;
}

void ProgressMeter::beginFile(const QString &label, qint64 size)
{
    m_label = terminalText(label);
    m_fileDone = 0;
    m_fileTotal = size;
    if (m_inTree)
        ++m_treeIndex;
    m_fileClock.start();
    draw(true);
}

void ProgressMeter::update(qint64 done, qint64 total)
{
    m_fileDone = done;
    if (total >= 0)
        m_fileTotal = total;
    draw(false);
}

void ProgressMeter::endFile()
{
    if (m_inTree)
        m_treeDone += std::max(m_fileDone, m_fileTotal);
    clear();
}

void ProgressMeter::clear()
{
    if (m_shown)
        std::cerr << "\r\033[K" << std::flush;
    m_shown = false;
}

void ProgressMeter::draw(bool force)
{
    if (!m_enabled || (!force && m_shown && m_lastDraw.isValid() && m_lastDraw.elapsed() < RedrawIntervalMs))
        return;
    m_lastDraw.start();
    QString line;
    if (m_inTree) {
        line = QStringLiteral("[%1/%2] %3  ")
                   .arg(m_treeIndex)
                   .arg(m_treeFiles)
                   .arg(figures(m_treeDone + m_fileDone, m_treeBytes, m_treeClock.elapsed()));
    } else {
        line = figures(m_fileDone, m_fileTotal, m_fileClock.elapsed()) + QStringLiteral("  ");
    }
    // The name goes last and is cut to the terminal's width.
    line += m_label;
    line.truncate(terminalColumns() - 1);
    std::cerr << "\r\033[K" << line.toStdString() << std::flush;
    m_shown = true;
}
