#include "plaintransport.h"

#include "serialline.h"

#include <QDeadlineTimer>

namespace {

constexpr int BitsPerByte = 10; // start, 8 data bits, stop

// The response codes OBEX defines: Continue, the success, redirection, client and
// server error classes, the database codes. Any other one is a damaged byte.
bool knownResponseCode(quint8 code)
{
    return code == 0x90 || (code >= 0xA0 && code <= 0xA6) || (code >= 0xB0 && code <= 0xB5)
        || (code >= 0xC0 && code <= 0xCF) || (code >= 0xD0 && code <= 0xD5) || code == 0xE0 || code == 0xE1;
}

} // namespace

PlainTransport::PlainTransport(SerialLine &link, TransferEvents &events) : m_link(link), m_events(events) {}

qint64 PlainTransport::answerCapMs(int length, int baud, int timeoutMs)
{
    const qint64 lineMs = baud > 0 ? qint64(length) * BitsPerByte * 1000 / baud : 0;
    return timeoutMs + 2 * lineMs;
}

QByteArray PlainTransport::exchange(const QByteArray &request)
{
    send(request);
    const QByteArray answer = receive();
    // More than announced: a byte was added on the way, so the packet cannot be trusted.
    if (m_link.bytesWaiting() > 0)
        fail(LinkLoss::BadData);
    return answer;
}

QByteArray PlainTransport::exchangeFirst(const QByteArray &request)
{
    send(request);
    return receive();
}

QByteArray PlainTransport::nextAnswer()
{
    return receive();
}

void PlainTransport::send(const QByteArray &request)
{
    // Bytes before the request belong to no answer of it: the line is out of step.
    if (m_link.bytesWaiting() > 0)
        fail(LinkLoss::BadData);
    m_link.writeRaw(request);
}

QByteArray PlainTransport::receive()
{
    QByteArray answer;
    while (answer.size() < HeadSize)
        answer += m_link.readBytes(HeadSize - int(answer.size()));
    const int length = quint8(answer.at(1)) << 8 | quint8(answer.at(2));
    if (!knownResponseCode(quint8(answer.at(0))) || length < HeadSize || length > MaxAnswer)
        fail(LinkLoss::BadData);

    const QDeadlineTimer cap(answerCapMs(length, m_link.lineRate(), m_link.timeoutInterval()));
    while (answer.size() < length) {
        answer += m_link.readBytes(length - int(answer.size()));
        if (answer.size() < length && cap.hasExpired())
            fail(LinkLoss::Timeout);
    }
    return answer;
}

void PlainTransport::fail(LinkLoss loss)
{
    m_events.lineNoiseSeen();
    m_link.drainLine();
    if (loss == LinkLoss::Timeout)
        m_link.AbortOnTimeout();
    m_link.AbortOnBadData();
}
