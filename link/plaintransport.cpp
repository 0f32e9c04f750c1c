#include "plaintransport.h"

#include "serialline.h"

#include <QDeadlineTimer>

namespace {

constexpr quint8 FinalBit = 0x80;
constexpr int BitsPerByte = 10; // start, 8 data bits, stop

} // namespace

PlainTransport::PlainTransport(SerialLine &link) : m_link(link) {}

qint64 PlainTransport::answerCapMs(int length, int baud, int timeoutMs)
{
    const qint64 lineMs = baud > 0 ? qint64(length) * BitsPerByte * 1000 / baud : 0;
    return timeoutMs + 2 * lineMs;
}

QByteArray PlainTransport::exchange(const QByteArray &request)
{
    // Bytes before the request belong to no answer of it: the line is out of step.
    if (m_link.bytesWaiting() > 0)
        fail(LinkLoss::BadData);
    m_link.writeRaw(request);

    QByteArray answer;
    while (answer.size() < HeadSize)
        answer += m_link.readBytes(HeadSize - int(answer.size()));
    const int length = quint8(answer.at(1)) << 8 | quint8(answer.at(2));
    if (!(quint8(answer.at(0)) & FinalBit) || length < HeadSize || length > MaxAnswer)
        fail(LinkLoss::BadData);

    const QDeadlineTimer cap(answerCapMs(length, m_link.lineRate(), m_link.timeoutInterval()));
    while (answer.size() < length) {
        answer += m_link.readBytes(length - int(answer.size()));
        if (answer.size() < length && cap.hasExpired())
            fail(LinkLoss::Timeout);
    }
    // More than announced: a byte was added on the way, so the packet cannot be trusted.
    if (m_link.bytesWaiting() > 0)
        fail(LinkLoss::BadData);
    return answer;
}

void PlainTransport::fail(LinkLoss loss)
{
    m_link.drainLine();
    if (loss == LinkLoss::Timeout)
        m_link.AbortOnTimeout();
    m_link.AbortOnBadData();
}
