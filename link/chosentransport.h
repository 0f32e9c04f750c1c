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
        : m_bfb(bfb, events), m_plain(line, events), m_connector(connector)
    {}

    QByteArray exchange(const QByteArray &request) override
    {
        if (m_connector.linkMode() == LinkMode::Plain)
            return m_plain.exchange(request);
        return m_bfb.exchange(request);
    }
    QByteArray exchangeFirst(const QByteArray &request) override
    {
        if (m_connector.linkMode() == LinkMode::Plain)
            return m_plain.exchangeFirst(request);
        return m_bfb.exchangeFirst(request);
    }
    QByteArray nextAnswer() override
    {
        if (m_connector.linkMode() == LinkMode::Plain)
            return m_plain.nextAnswer();
        return m_bfb.nextAnswer();
    }
    bool checksummed() const override { return m_connector.linkMode() != LinkMode::Plain; }

private:
    BfbTransport m_bfb;
    PlainTransport m_plain;
    const PhoneConnector &m_connector;
};
