#include "linetrace.h"

bool LineTrace::open(const QString &path, QString *reason)
{
    m_file.setFileName(path);
    if (!m_file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered)) {
        if (reason)
            *reason = m_file.errorString();
        return false;
    }
    m_clock.start();
    comment(QStringLiteral("byte trace: PC = sent by the computer, PHONE = sent by the phone; "
                           "milliseconds since the start; bytes in hex"));
    return true;
}

void LineTrace::sent(const QByteArray &bytes)
{
    record("PC", bytes);
}

void LineTrace::received(const QByteArray &bytes)
{
    record("PHONE", bytes);
}

void LineTrace::comment(const QString &text)
{
    m_file.write("# " + text.toUtf8() + '\n');
}

void LineTrace::record(const char *party, const QByteArray &bytes)
{
    if (bytes.isEmpty())
        return;
    m_file.write(QByteArray(party) + ' ' + QByteArray::number(m_clock.elapsed()) + ' ' + bytes.toHex(' ').toUpper()
                 + '\n');
}
