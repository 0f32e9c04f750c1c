#pragma once

#include "bfbtransport.h"
#include "handshake.h"
#include "plaintransport.h"

// The transport of the mode the connect procedure brought the link up in: BFB frames
// or plain OBEX on the line.
class ChosenTransport : public ObexTransport
{
public:
    // line, bfb, events and connector must outlive the transport.
    ChosenTransport(SerialLine &line, BfbLink &bfb, TransferEvents &events, const PhoneConnector &connector)
        : m_bfb(bfb, events), m_plain(line), m_connector(connector)
    {}

    QByteArray exchange(const QByteArray &request) override
    {
        if (m_connector.linkMode() == LinkMode::Plain)
            return m_plain.exchange(request);
        return m_bfb.exchange(request);
    }

private:
    BfbTransport m_bfb;
    PlainTransport m_plain;
    const PhoneConnector &m_connector;
};
