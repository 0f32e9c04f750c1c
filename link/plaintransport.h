#pragma once

#include "obextransport.h"
#include "phoneevents.h"

#include <QByteArray>

class SerialLine;

// Plain OBEX on the line, as phones speak it after "AT^SQWE=3": each packet is its
// opcode or response code and a 16-bit big-endian length, nothing around it. The line
// has no checksums, so every answer is judged by its head and its extent: a response
// code without the final bit, a length below 3 or above the packet size the CONNECT
// allows the phone, bytes beyond the announced length, or an answer that does not
// come whole in time fail the exchange. The rest of the line is then drained (so that
// the phone is quiet for the next session) and LinkLost is thrown: a garbled answer
// is a failed operation, never a wrong file.
class PlainTransport : public ObexTransport
{
public:
    static constexpr int HeadSize = 3;
    // The largest packet a phone may send: what the CONNECT request announces.
    static constexpr int MaxAnswer = 0x4006;

    // link must outlive the transport; its port is open and the phone in OBEX mode.
    explicit PlainTransport(SerialLine &link);

    QByteArray exchange(const QByteArray &request) override;

    // The time an answer of length bytes may take once its head is in: the per-byte
    // time-out, and twice its time on the line at the port's rate.
    static qint64 answerCapMs(int length, int baud, int timeoutMs);

private:
    // Drains the line, then ends the link with loss.
    [[noreturn]] void fail(LinkLoss loss);

    SerialLine &m_link;
};
