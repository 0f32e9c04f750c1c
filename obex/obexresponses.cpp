#include "obexresponses.h"

namespace ObexResponse {

namespace {

constexpr char Body = char(0x48);
constexpr char EndOfBody = char(0x49);
constexpr char Length = char(0xC3);
constexpr char ApplicationParameters = char(0x4C);
constexpr int HeadersStart = 3;

int byteAt(const QByteArray &bytes, int index)
{
    return static_cast<unsigned char>(bytes.at(index));
}

// The count bytes from index on, as a big-endian number.
quint32 bigEndian(const QByteArray &bytes, int index, int count)
{
    quint32 value = 0;
    for (int i = 0; i < count; ++i)
        value = value << 8 | quint32(byteAt(bytes, index + i));
    return value;
}

// Calls visit(id, value) for every header; false when a header runs past the end.
template<typename Visit>
bool walkHeaders(const QByteArray &response, Visit visit)
{
    if (response.size() < HeadersStart)
        return false;
    int pos = HeadersStart;
    while (pos < response.size()) {
        const char id = response.at(pos);
        switch (byteAt(response, pos) >> 6) {
        case 0: // text and byte sequences carry a 2-byte length
        case 1: {
            if (pos + 3 > response.size())
                return false;
            const int length = byteAt(response, pos + 1) << 8 | byteAt(response, pos + 2);
            if (length < 3 || pos + length > response.size())
                return false;
            visit(id, response.mid(pos + 3, length - 3));
            pos += length;
            break;
        }
        case 2: // one byte
            if (pos + 2 > response.size())
                return false;
            visit(id, response.mid(pos + 1, 1));
            pos += 2;
            break;
        default: // four bytes
            if (pos + 5 > response.size())
                return false;
            visit(id, response.mid(pos + 1, 4));
            pos += 5;
            break;
        }
    }
    return true;
}

struct ResponseData
{
    QByteArray body;
    std::optional<quint32> length;
};

// Body and End-of-Body contents and the first Length value; empty when the headers do not parse.
std::optional<ResponseData> responseData(const QByteArray &response)
{
    ResponseData data;
    const bool parsed = walkHeaders(response, [&data](char id, const QByteArray &value) {
        if (id == Body || id == EndOfBody)
            data.body.append(value);
        else if (id == Length && !data.length)
            data.length = bigEndian(value, 0, 4);
    });
    if (!parsed)
        return std::nullopt;
    return data;
}

} // namespace

char code(const QByteArray &response)
{
    return response.isEmpty() ? char(0) : response.at(0);
}

std::optional<QByteArray> bodyData(const QByteArray &response)
{
    if (auto data = responseData(response))
        return std::move(data->body);
    return std::nullopt;
}

GetDataCollector::GetDataCollector(Transfer transfer, DataSink pieceSink)
    : m_laterCut(transfer == Transfer::Listing ? 11 : 6), m_sink(std::move(pieceSink))
{}

void GetDataCollector::addResponse(const QByteArray &response)
{
    if (m_overran)
        return;
    const bool first = m_responses == 0;
    ++m_responses;
    QByteArray piece;
    if (auto data = responseData(response)) {
        if (!m_announced)
            m_announced = data->length;
        piece = std::move(data->body);
    } else if (first) {
        piece = response.mid(11);
    } else if (code(response) == Continue) {
        piece = response.mid(m_laterCut);
    }
    m_received += piece.size();

    m_responsesWithoutData = piece.isEmpty() && code(response) == Continue ? m_responsesWithoutData + 1 : 0;
    const qint64 limit = m_sink ? StreamLimit : TransferLimit;
    if (m_received > limit || (m_announced && m_received > qint64(*m_announced))
        || m_responsesWithoutData > StalledResponses || (m_sink && !piece.isEmpty() && !m_sink(piece))) {
        m_overran = true;
        m_collected.clear();
        return;
    }
    if (!m_sink)
        m_collected.append(piece);
}

bool GetDataCollector::complete() const
{
    return !m_overran && (!m_announced || m_received == qint64(*m_announced));
}

std::optional<quint32> memoryFigure(const QByteArray &response)
{
    if (code(response) != Success || response.size() < 12)
        return std::nullopt;
    std::optional<quint32> fullValue;
    const bool parsed = walkHeaders(response, [&fullValue](char id, const QByteArray &value) {
        // One tag, its length 4, then the value.
        if (id == ApplicationParameters && value.size() == 6 && value.at(1) == 4)
            fullValue = bigEndian(value, 2, 4);
    });
    if (parsed && fullValue)
        return fullValue;
    return bigEndian(response, 9, 3);
}

std::optional<int> announcedMaxPacket(const QByteArray &connectResponse)
{
    constexpr int SmallestObexPacket = 255;
    if (connectResponse.size() < 7 || code(connectResponse) != Success)
        return std::nullopt;
    const int size = int(bigEndian(connectResponse, 5, 2));
    if (size < SmallestObexPacket)
        return std::nullopt;
    return size;
}

} // namespace ObexResponse
