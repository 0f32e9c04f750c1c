// The phone's OBEX file-system service: one request packet in, one response packet out.
#pragma once

#include "bytes.h"
#include "faults.h"
#include "flash.h"
#include "options.h"

#include <optional>
#include <string>
#include <utility>

namespace phonesim {

namespace obex {
constexpr std::uint8_t Continue = 0x90;
constexpr std::uint8_t Success = 0xA0;
constexpr std::uint8_t BadRequest = 0xC0;
constexpr std::uint8_t Forbidden = 0xC3;
constexpr std::uint8_t NotFound = 0xC4;
constexpr std::uint8_t PreconditionFailed = 0xCC;
constexpr std::uint8_t EntityTooLarge = 0xCD;
constexpr std::uint8_t InternalError = 0xD0;
constexpr std::uint8_t NotImplemented = 0xD1;
constexpr std::uint8_t DatabaseFull = 0xE0;
} // namespace obex

struct ObexRequest
{
    std::uint8_t opcode = 0;
    unsigned length = 0;
    bool malformed = false; // shorter than its opcode fields
    // CONNECT fields
    std::uint8_t version = 0;
    std::uint8_t connectFlags = 0;
    unsigned maxPacket = 0;
    // SETPATH fields
    std::uint8_t setpathFlags = 0;
    // Headers
    std::optional<std::string> name; // UTF-8; "" for an empty Name header
    Bytes rawName; // the Name value as sent
    bool nameUndecodable = false;
    std::optional<std::string> type;
    std::optional<std::uint32_t> lengthHeader;
    std::optional<Bytes> appParams;
    std::optional<Bytes> body;
    std::optional<Bytes> endOfBody;
    std::optional<Bytes> target;
    std::size_t extra = 0; // bytes after the last well-formed header
    bool shortHeader = false; // a header shorter than its own length field allows

    bool final() const { return opcode & 0x80; }
    std::uint8_t code() const { return opcode & 0x7F; }
};

class ObexServer
{
public:
    ObexServer(const Options &options, Flash &flash);

    static ObexRequest parse(const Bytes &packet);
    ExchangeKind classify(const ObexRequest &request) const;
    std::string describe(const ObexRequest &request) const;
    Bytes handle(const ObexRequest &request);
    // A second answer to the request handled last, sent after the first (see --abort-get).
    std::optional<Bytes> takeFollowUp() { return std::exchange(followUp_, std::nullopt); }

    // The line was closed or the client started afresh: root folder, no transfer.
    void reset();

    // In plain OBEX the phone parses as a careful OBEX server: a header shorter than 3
    // bytes, bytes after the last header, a Body beyond the Length header and a Length
    // that differs from the bytes received are answered C0 Bad Request, and nothing of
    // the request is stored. Over BFB it takes the staged upload layout (three zero
    // bytes after each Body, the staged length in the Length header) as it always did.
    void setCareful(bool careful) { careful_ = careful; }
    // What the last request broke of the careful rules; empty when nothing. Cleared by reading.
    std::string takeFault();

private:
    Bytes connect(const ObexRequest &request);
    Bytes setPath(const ObexRequest &request);
    Bytes get(const ObexRequest &request);
    Bytes put(const ObexRequest &request);
    Bytes move(const ObexRequest &request);
    Bytes abort();
    // listing: a folder listing or another object the phone makes, not a file.
    Bytes startGet(Bytes data, bool listing);
    Bytes nextGetPacket();
    Bytes memoryFigure(const ObexRequest &request) const;
    Bytes capabilityObject() const;
    unsigned outgoingLimit() const;
    std::uint8_t missing(FlashStatus status) const;

    const Options &options_;
    Flash &flash_;
    unsigned clientMax_ = 255;

    struct PendingGet
    {
        Bytes data;
        std::size_t offset = 0;
        bool firstSent = false;
        bool endsEmpty = false; // the final answer carries an empty End-of-Body
    };
    std::optional<PendingGet> pendingGet_;
    std::optional<ObexRequest> getRequestPart_; // headers of non-final GET packets
    Upload upload_;
    std::optional<Bytes> followUp_;
    bool careful_ = false;
    std::string fault_;
    // Of the running upload: the Length header's figure, and the body bytes received.
    std::optional<std::uint32_t> announced_;
    std::uint64_t received_ = 0;
};

} // namespace phonesim
