#pragma once

#include <QByteArray>
#include <QByteArrayView>

#include <functional>
#include <optional>

namespace ObexResponse {

constexpr char Continue = char(0x90);
constexpr char Success = char(0xA0);
constexpr char NotFound = char(0xC4);
constexpr char PreconditionFailed = char(0xCC);
constexpr char DatabaseFull = char(0xE0);

// Response code at offset 0; 0 for an empty reply.
char code(const QByteArray &response);

// The Body and End-of-Body contents of one response, read from its headers.
// Empty optional when the headers after the code and length do not parse.
std::optional<QByteArray> bodyData(const QByteArray &response);

// Takes a download's data piece by piece as it arrives; false when it cannot (a full
// disk), which stops the transfer.
using DataSink = std::function<bool(QByteArrayView piece)>;

// Gathers the data of a multi-packet GET from every response, the final one
// included, or hands each piece to a sink as it comes. Responses whose headers do not parse fall back to fixed cuts: the
// first loses 11 bytes, later ones `laterCut` bytes, and a final response other
// than the first contributes nothing. The data counts only when it is complete:
// as long as the phone's Length header announced, when it sent one.
class GetDataCollector
{
public:
    enum class Transfer {
        Listing,
        File
    };
    // No object held in memory is larger; past this a transfer is broken off.
    static constexpr qsizetype TransferLimit = 16 * 1024 * 1024;
    // Data handed to a sink may be as long as a Length header can announce.
    static constexpr qint64 StreamLimit = 0xFFFFFFFFLL;
    // Continue responses in a row without data after which a transfer counts as stalled.
    static constexpr int StalledResponses = 64;

    explicit GetDataCollector(Transfer transfer, DataSink sink = {});
    // Responses after an overrun are ignored.
    void addResponse(const QByteArray &response);
    // Everything received; empty when a sink took the data.
    const QByteArray &data() const { return m_collected; }
    qint64 receivedBytes() const { return m_received; }
    int responseCount() const { return m_responses; }
    // The object length of the first Length header, if any response carried one.
    std::optional<quint32> announcedLength() const { return m_announced; }
    // More data than announced or than the limit, a stalled run of Continue responses,
    // or a piece the sink refused: the transfer must stop; its data is dropped.
    bool overrun() const { return m_overran; }
    // Not overrun, and exactly as long as announced.
    bool complete() const;

private:
    int m_laterCut;
    int m_responses = 0;
    int m_responsesWithoutData = 0;
    bool m_overran = false;
    std::optional<quint32> m_announced;
    DataSink m_sink;
    qint64 m_received = 0;
    QByteArray m_collected;
};

// The largest packet a CONNECT answer announces (A0, length, version, flags, then the
// maximum, big-endian); nothing when the answer is no success or announces less than
// the 255 bytes every OBEX peer takes.
std::optional<int> announcedMaxPacket(const QByteArray &connectResponse);

// The figure of a memory query: the 24-bit value at offsets 9 to 11 of a
// successful response, or the full value of its application parameter when that
// parses with four bytes. Empty when the phone did not answer with success.
std::optional<quint32> memoryFigure(const QByteArray &response);

} // namespace ObexResponse
