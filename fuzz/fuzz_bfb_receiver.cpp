// The block receiver against anything a phone or a noisy line might send, fed byte by
// byte: nothing may crash or hand back more packet bytes than arrived. Then the input
// serves as a packet, cut into frames at places the input also chooses: the receiver
// must give back exactly that block.

#include "fuzzsupport.h"

#include "bfbreceiver.h"
#include "testchecksum.h"

#include <algorithm>
#include <cstdint>

namespace {

using Reply = BfbReceiver::Reply;

void feedAnything(const QByteArray &input, Checksum &crc)
{
    BfbReceiver receiver(crc);
    qsizetype since = 0; // bytes fed since the last reply
    for (const char byte : input) {
        ++since;
        const auto reply = receiver.feed(quint8(byte));
        if (!reply)
            continue;
        switch (reply->kind) {
        case Reply::Kind::Acknowledge:
            FUZZ_EXPECT(since >= 5);
            break;
        case Reply::Kind::Block:
            // Frame header, block header and CRC at least.
            FUZZ_EXPECT(reply->packet.size() + 10 <= since);
            FUZZ_EXPECT(reply->packet.size() <= BfbReceiver::MaxBlockLength);
            break;
        case Reply::Kind::Bad:
            FUZZ_EXPECT(reply->leftover >= 0 && reply->leftover < 255);
            FUZZ_EXPECT(!reply->drainLine || reply->leftover == 0);
            break;
        }
        since = 0;
    }
}

// The input's first byte seeds the frame sizes; the rest is the packet.
void roundTrip(const QByteArray &input, Checksum &crc)
{
    if (input.isEmpty() || input.size() > BfbReceiver::MaxBlockLength)
        return;
    const QByteArray packet = input.mid(1);
    QByteArray covered(1, input.at(0));
    covered.append(char(packet.size() >> 8));
    covered.append(char(packet.size() & 0xFF));
    covered.append(packet);
    const quint16 value = crc.CrcCalc(covered);
    const QByteArray block = QByteArray("\x03\xFC", 2) + covered + char(value & 0xFF) + char(value >> 8);

    BfbReceiver receiver(crc);
    std::optional<Reply> reply;
    quint32 seed = quint8(input.at(0)) * 2654435761u + 1;
    for (qsizetype offset = 0; offset < block.size();) {
        seed = seed * 1103515245u + 12345u;
        const qsizetype piece = std::min<qsizetype>(1 + (seed >> 16) % 32, block.size() - offset);
        QByteArray frame(1, char(0x16));
        frame.append(char(piece));
        frame.append(char(0x16 ^ piece));
        frame.append(block.mid(offset, piece));
        offset += piece;
        for (const char byte : frame) {
            FUZZ_EXPECT(!reply);
            reply = receiver.feed(quint8(byte));
        }
    }
    FUZZ_EXPECT(reply && reply->kind == Reply::Kind::Block);
    FUZZ_EXPECT(reply->sequence == quint8(input.at(0)) && reply->packet == packet);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    static ReferenceChecksum crc;
    const QByteArray input(reinterpret_cast<const char *>(data), qsizetype(size));
    feedAnything(input, crc);
    roundTrip(input, crc);
    return 0;
}
