#pragma once

#include "obextransport.h"
#include "phoneevents.h"

#include <QByteArray>

class SerialLine;

// Plain OBEX on the line, as phones speak it after "AT^SQWE=3": each packet is its
// opcode or response code and a 16-bit big-endian length, nothing around it. The line
// has no checksums, so every answer is judged by its head and its extent: a response
// code OBEX does not define (one without the final bit among them), a length below 3
// or above the packet size the CONNECT allows the phone, bytes beyond the announced
// length, or an answer that does not come whole in time fail the exchange. The rest of the line is then drained (so that
// the phone is quiet for the next session) and LinkLost is thrown: a garbled answer
// is a failed operation, never a wrong file.
class PlainTransport : public ObexTransport
{
public:
    static constexpr int HeadSize = 3;
    // The largest packet a phone may send: what the CONNECT request announces.
    static constexpr int MaxAnswer = 0x4006;

    // link and events must outlive the transport; its port is open and the phone in OBEX mode.
    PlainTransport(SerialLine &link, TransferEvents &events);

    QByteArray exchange(const QByteArray &request) override;
    QByteArray exchangeFirst(const QByteArray &request) override;
    QByteArray nextAnswer() override;
    bool checksummed() const override { return false; }

    // The time an answer of length bytes may take once its head is in: the per-byte
    // time-out, and twice its time on the line at the port's rate.
    static qint64 answerCapMs(int length, int baud, int timeoutMs);

private:
    void send(const QByteArray &request);
    // One answer packet, judged by its head and read within its time.
    QByteArray receive();
    // Tells of the noise, drains the line, then ends the link with loss.
    [[noreturn]] void fail(LinkLoss loss);

    SerialLine &m_link;
    TransferEvents &m_events;
};
