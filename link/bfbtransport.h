#pragma once

#include "obextransport.h"

#include <QByteArray>

class BfbLink;
class TransferEvents;

// OBEX packets in BFB data blocks on the phone link. A request goes out as one data
// block with the link's next sequence number, cut into frames of at most 32 payload
// bytes; the link awaits the phone's acknowledgement (sending the block again when it
// does not come) and reads the response block, which is acknowledged before its packet
// is returned.
class BfbTransport : public ObexTransport
{
public:
    // link and events must outlive the transport.
    BfbTransport(BfbLink &link, TransferEvents &events);

    QByteArray exchange(const QByteArray &request) override;
    // Blocks carry their own extent: a further answer waits in its frames.
    QByteArray exchangeFirst(const QByteArray &request) override { return exchange(request); }
    QByteArray nextAnswer() override;
    bool checksummed() const override { return true; }

private:
    BfbLink &m_link;
    TransferEvents &m_events;
};
