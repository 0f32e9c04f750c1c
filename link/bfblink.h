#pragma once

#include "bfbframes.h"
#include "bfbreceiver.h"

#include <QByteArray>
#include <QList>
#include <QTimer>

#include <optional>

class Checksum;
class SerialLine;
class TransferEvents;

// BFB frames on the serial line: the data blocks the program sends, cut into frames,
// with the sequence counter BfbSequence; the phone's replies read through the block
// receiver; the link acknowledgement both ways; the CONNECT's frames and the
// DISCONNECT at the close. Everything runs on the GUI thread; the line does the waiting.
//
// Line faults are mended where the link can: a reply that fails its checks is dropped
// unacknowledged and the phone sends it again; a block of the phone's sent again
// because the acknowledgement was lost is acknowledged again and dropped; a block of
// the program's that is not acknowledged in time is sent again. Three bad replies in
// a row end the link through the line's AbortOnBadData.
class BfbLink
{
public:
    // One reply of the phone: a link acknowledgement or the packet of a data block.
    struct Reply
    {
        enum class Kind {
            Acknowledge,
            Packet,
        };
        Kind kind;
        QByteArray packet; // empty for an acknowledgement

        bool isAcknowledge() const { return kind == Kind::Acknowledge; }
    };

    // How long a block waits for its link acknowledgement before it goes again, and how
    // often it goes again: the largest block of the program's takes 0.6 s on the wire
    // at 19200 baud, which leaves a slow phone over four seconds; three resends fit
    // into the receive time-out, which still ends the wait for a silent phone.
    static constexpr int DefaultResendMs = 5000;
    static constexpr int MaxResends = 3;
    // Bad replies in a row that end the link: the phone keeps sending nonsense.
    static constexpr int MaxBadReplies = 3;

    // line, crc and events must outlive the link.
    BfbLink(SerialLine &line, Checksum &crc, TransferEvents &events);

    // The wait for a link acknowledgement before a block goes again; tests scale it down.
    void setResendInterval(int ms);

    // The sequence number of the next data block: 1 at start and for every new link,
    // advanced once per block sent, 255 wrapping to 0.
    qint16 bfbSequence() const { return BfbSequence; }
    // A new link (a connection attempt, or the link closed): the counter back to 1, no
    // reply in progress or accepted.
    void restart();

    // The data block of a request with the current sequence number.
    QByteArray blockFor(const QByteArray &request);
    // Sends one complete data block (header, packet, CRC already appended) in frames
    // of at most 32 payload bytes, one write per frame, advances BfbSequence, then
    // awaits the phone's link acknowledgement (see awaitAcknowledgement).
    void SendPacket(const QByteArray &block);
    // Writes complete prebuilt frames in one write, advances BfbSequence and awaits the
    // link acknowledgement, as SendPacket does.
    void sendPrebuilt(const QByteArray &frames);
    // The frames SendPacket writes for a block, joined for one write.
    QByteArray framed(const QByteArray &block);
    // One complete reply that passed its checks. A repeat of the block accepted just
    // before is acknowledged again and dropped, and so is an acknowledgement owed to
    // a block sent twice. Three bad replies in a row end the link (AbortOnBadData).
    Reply ReceiveReply();
    // Writes the link acknowledgement frame; reads nothing.
    void SendAck();

    // The CONNECT request's frames in one write (its block carries sequence number 0,
    // and the counter stays), then what the phone answers, read until its block and at
    // least minimum bytes are in or capMs (scaled) have passed.
    QByteArray sendConnect(const QByteArray &connectRequest, int minimum, int capMs);
    // The CONNECT was answered (answer: everything read for it): the phone's block
    // counts as accepted, so that a resend of it is known as a repeat, and is
    // acknowledged. Its packet, or nothing when no block in the answer passed its checks.
    QByteArray acceptConnectAnswer(const QByteArray &answer);
    // Sends the OBEX DISCONNECT request in a data block with the next sequence number
    // and reads the phone's answer, acknowledging each of its blocks, for at most capMs
    // (scaled). Never throws for a phone that does not answer; true when it answered.
    bool disconnect(const QByteArray &request, int capMs);

private:
    friend struct LinkTestAccess; // tests set the counter

    // The writes of one block, kept to send it again.
    using BlockWrites = QList<QByteArray>;
    struct AckWait;

    // No reply in progress, none accepted yet.
    void forgetReplies();
    void advanceSequence(); // 255 -> 0, else +1
    void writeBlock(const BlockWrites &writes);
    // Reads replies until the acknowledgement of the block just written, sending it
    // again when it does not come in time. A data block in its place means the
    // acknowledgement was lost: the block is the response (kept for ReceiveReply).
    void awaitAcknowledgement(const BlockWrites &writes);
    // The next reply that passes its checks; bad ones are dropped (the rest drained
    // when its extent is unknown), the third in a row ends the link. With a wait, the
    // block goes again when its time is up and no reply is under way.
    BfbReceiver::Reply nextSoundReply(AckWait *wait);
    bool isRepeat(const BfbReceiver::Reply &reply) const;
    void acknowledgeRepeat();

    SerialLine &m_line;
    Checksum &Crc;
    TransferEvents &m_events;
    qint16 BfbSequence = 1;
    QTimer m_resendTimer; // single shot, from each write of a block until its acknowledgement
    bool m_resendDue = false;
    BfbReceiver m_receiver;
    // The sequence number of the phone's block accepted last: a block carrying it again
    // is a repeat.
    std::optional<quint8> m_lastAccepted;
    // A response that came in place of a lost acknowledgement, for the next ReceiveReply.
    std::optional<QByteArray> m_heldResponse;
    // Acknowledgements still due for blocks sent more than once; one that comes where a
    // response is awaited is dropped.
    int m_surplusAcks = 0;
};
