#include "bfbtransport.h"

#include "bfblink.h"
#include "phoneevents.h"

namespace {

constexpr quint8 GetFinal = 0x83;
constexpr quint8 TypeHeader = 0x42;

// The folder-listing GET: its sequence number is reported, and its two frames go out
// in one write.
bool isFolderListing(const QByteArray &request)
{
    return request.size() > 3 && quint8(request.at(0)) == GetFinal && quint8(request.at(3)) == TypeHeader;
}

} // namespace

BfbTransport::BfbTransport(BfbLink &link, TransferEvents &events) : m_link(link), m_events(events) {}

QByteArray BfbTransport::exchange(const QByteArray &request)
{
    const QByteArray block = m_link.blockFor(request);
    if (isFolderListing(request)) {
        m_events.sequenceReported(m_link.bfbSequence());
        m_link.sendPrebuilt(m_link.framed(block));
    } else {
        m_link.SendPacket(block);
    }
    return nextAnswer();
}

QByteArray BfbTransport::nextAnswer()
{
    const QByteArray response = m_link.ReceiveReply().packet;
    m_link.SendAck();
    return response;
}
