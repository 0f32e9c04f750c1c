#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QFile>
#include <QString>

// A byte trace of the serial line, for problems with a real phone: every read and
// every write of the port as one line, in the format the emulated phone replays
// (`phonesim --replay`):
//
//   PC 0 61 74 0D 0A           bytes the computer wrote
//   PHONE 512 0D 0A 4F 4B 0D 0A bytes it read from the phone
//
// The party, the milliseconds since the trace began and the bytes in hex; lines
// starting with '#' are comments. Every line is flushed at once, so that a trace is
// whole even when the program ends on a link failure.
class LineTrace
{
public:
    // Creates or truncates the file; false with the reason when it cannot be written.
    bool open(const QString &path, QString *reason);

    void sent(const QByteArray &bytes);
    void received(const QByteArray &bytes);
    void comment(const QString &text);
    // The file's descriptor, or -1.
    int fd() const { return m_file.handle(); }

private:
    void record(const char *party, const QByteArray &bytes);

    QFile m_file;
    QElapsedTimer m_clock;
};
