#pragma once

#include "obextransport.h"

#include <QByteArray>

class Checksum;
class SerialLine;

// OBEX packets in BFB data blocks on the phone link. A request goes out as one data
// block with the link's next sequence number, cut into frames of at most 32 payload
// bytes; the link awaits the phone's acknowledgement (sending the block again when it
// does not come) and reads the response block, which is acknowledged before its packet
// is returned.
class BfbTransport : public ObexTransport
{
public:
    explicit BfbTransport(SerialLine &link);

    QByteArray exchange(const QByteArray &request) override;

    // The command byte of a request's block: 0x02 for the CONNECT, and for entering or
    // making a folder or getting a file while the sequence number is 1; 0x03 otherwise.
    static char commandFor(const QByteArray &request, int sequence);
    // Command byte, complement, sequence number, big-endian length, packet, CRC low byte first.
    static QByteArray dataBlock(char command, int sequence, const QByteArray &packet, Checksum &crc);
    // The CONNECT request's frames for one write: its block carries sequence number 0,
    // and sending it leaves the counter as it is.
    static QByteArray connectFrames(const QByteArray &connectRequest, SerialLine &link);

private:
    SerialLine &m_link;
};
