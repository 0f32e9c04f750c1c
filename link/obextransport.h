#pragma once

#include <QByteArray>

// How OBEX packets travel on the line. The OBEX layer builds and reads plain OBEX
// packets only; a transport takes one request packet to the phone and brings the
// phone's answer packet back, whole. BFB frames (blocks, CRC, sequence numbers,
// acknowledgements, resends) and plain OBEX on the line are the two ways.
class ObexTransport
{
public:
    virtual ~ObexTransport() = default;

    // Sends one complete OBEX request packet and returns the phone's complete answer
    // packet (response code, length, headers). A phone that falls silent, or a line
    // that no longer yields a sound answer, throws LinkLost (after
    // TransferEvents::linkLost, the port closed); a stop asked for throws LinkInterrupted.
    virtual QByteArray exchange(const QByteArray &request) = 0;
    // For a request that the phone may answer with more than one packet (an ABORT in the
    // middle of a GET, which a phone may answer with the piece it was sending first):
    // sends it and returns the first answer, leaving what follows for nextAnswer.
    virtual QByteArray exchangeFirst(const QByteArray &request) = 0;
    // The phone's next answer packet to the request sent last; nothing is sent. Throws
    // as exchange does.
    virtual QByteArray nextAnswer() = 0;

    // Whether the line checks every packet: BFB blocks carry a CRC, plain OBEX has no
    // checksum at all, so a byte damaged on the way arrives as it is.
    virtual bool checksummed() const = 0;
};
