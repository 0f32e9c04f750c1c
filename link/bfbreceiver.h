#pragma once

#include <QByteArray>
#include <QtGlobal>

#include <optional>

class Checksum;

// Reads the phone's replies from BFB frames, one byte at a time as the line delivers
// them; it does no I/O of its own and never waits. A reply is a link acknowledgement
// or one data block, cut into frames anywhere: the block header, the packet and the
// CRC may each continue in the next frame, whose payload is raw block bytes. Every
// frame header check, the command byte's complement and the block CRC are verified
// through the checksum component that also computes them for the blocks sent.
class BfbReceiver
{
public:
    enum class Fault {
        NotAFrame, // a frame does not start with 0x16 (plain text, noise)
        HeaderCheck, // a frame's check byte is not its type XOR its length
        EmptyFrame, // a frame without payload where the reply needs bytes
        Complement, // the command byte's complement is wrong
        Length, // a block length the component cannot verify (0x7FFD and above)
        Crc, // the CRC over sequence number, length and packet disagrees
        TrailingBytes, // the frame goes on past the block's CRC
        // After a pause the block under way began again: a damaged length had it wait for
        // more, and the phone sent it again. The new copy is read.
        SentAgain,
    };

    struct Reply
    {
        enum class Kind {
            Acknowledge,
            Block,
            Bad,
        };
        Kind kind = Kind::Bad;
        quint8 sequence = 0; // Block: its sequence number
        QByteArray packet; // Block: the OBEX packet
        Fault fault = Fault::NotAFrame; // Bad: the first check that failed
        // Bad: true when the damaged block's extent is not known: the caller drains the line
        // until it is quiet. False when the receiver knows what is left of it: it drops those
        // `leftover` bytes itself before it reads the next reply.
        bool drainLine = false;
        int leftover = 0;
    };

    // Largest block length whose CRC the component covers (it counts at most 32767 bytes:
    // sequence number, two length bytes and the packet).
    static constexpr int MaxBlockLength = 32767 - 3;

    explicit BfbReceiver(Checksum &checksum);

    // Takes the next byte from the line; returns the reply that this byte completes. After a
    // reply the next byte starts a new frame (once a leftover is dropped), so the extra
    // payload of an acknowledgement frame longer than two bytes is read as the start of
    // the next reply. afterPause: the line was quiet before this byte, longer than a phone
    // pauses inside a reply; a frame that then starts with the header (command, complement,
    // sequence number) of the block under way is that block sent again (SentAgain).
    std::optional<Reply> feed(quint8 byte, bool afterPause = false);

    // Forgets a reply in progress, for a link that stops waiting for its rest.
    void reset();
    // True when the next byte starts a reply: none is in progress and no rest of a
    // damaged one is left to drop.
    bool betweenReplies() const { return m_expect == Expect::FrameType && m_taken == 0; }

private:
    enum class Expect {
        FrameType,
        FrameLength,
        FrameCheck,
        Payload,
        Leftover,
    };

    std::optional<Reply> takePayload(quint8 byte);
    std::optional<Reply> probeForResend(quint8 byte);
    std::optional<Reply> finishBlock(quint16 received);
    Reply bad(Fault fault, bool drainLine);

    Checksum &m_component;
    Expect m_expect = Expect::FrameType;
    int m_frameLength = 0;
    int m_frameRemaining = 0; // payload bytes of the current frame not yet taken
    int m_leftover = 0; // bytes of a damaged block still to drop
    int m_taken = 0; // block bytes taken so far
    quint8 m_command = 0;
    int m_blockLength = 0;
    QByteArray m_covered; // sequence number, length and packet: what the CRC covers
    int m_crcLow = 0;
    // The first payload bytes of a frame that came after a pause in the middle of a block.
    bool m_probing = false;
    QByteArray m_probe;
};
