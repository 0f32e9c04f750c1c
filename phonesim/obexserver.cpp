#include "obexserver.h"

#include "textcodec.h"

#include <algorithm>
#include <utility>

namespace phonesim {

namespace {

constexpr const char *folderListingType = "x-obex/folder-listing";
constexpr const char *capabilityType = "x-obex/capability";

constexpr std::uint8_t hName = 0x01, hType = 0x42, hLength = 0xC3, hTarget = 0x46, hBody = 0x48, hEndOfBody = 0x49,
                       hWho = 0x4A, hAppParams = 0x4C, hConnectionId = 0xCB;
constexpr std::uint8_t memoryTag = 0x32;
// Siemens' move command, a final PUT with application parameters only: tag 0x34 holding
// "move", 0x35 the source and 0x36 the destination path, each as 16-bit units (no
// terminator), a path from the root such as /Pictures/a.bmp.
constexpr std::uint8_t actionTag = 0x34, moveFromTag = 0x35, moveToTag = 0x36;

Bytes response(std::uint8_t code)
{
    return {code, 0x00, 0x03};
}

void finishLength(Bytes &packet)
{
    packet[1] = std::uint8_t(packet.size() >> 8);
    packet[2] = std::uint8_t(packet.size());
}

void putByteHeader(Bytes &packet, std::uint8_t id, const std::uint8_t *data, std::size_t size)
{
    packet.push_back(id);
    put16(packet, unsigned(size + 3));
    packet.insert(packet.end(), data, data + size);
}

std::uint8_t statusCode(FlashStatus status)
{
    switch (status) {
    case FlashStatus::Ok:
        return obex::Success;
    case FlashStatus::NotFound:
        return obex::NotFound;
    case FlashStatus::Forbidden:
        return obex::Forbidden;
    case FlashStatus::BadName:
        return obex::BadRequest;
    case FlashStatus::Full:
        return obex::DatabaseFull;
    case FlashStatus::Exists:
        return obex::PreconditionFailed;
    case FlashStatus::Failed:
        break;
    }
    return obex::InternalError;
}

// The memory query names its figure with tag 0x32; the first such tag counts.
std::optional<std::uint8_t> memorySelector(const Bytes &params)
{
    for (std::size_t i = 0; i + 2 <= params.size(); i += 2 + params[i + 1]) {
        if (params[i] == memoryTag && params[i + 1] >= 1 && i + 2 + params[i + 1] <= params.size())
            return params[i + 2 + params[i + 1] - 1];
    }
    return std::nullopt;
}

// The value of one tag of an application parameter header (tag, one length byte, value).
std::optional<Bytes> appParam(const Bytes &params, std::uint8_t tag)
{
    for (std::size_t i = 0; i + 2 <= params.size() && i + 2 + params[i + 1] <= params.size(); i += 2 + params[i + 1]) {
        if (params[i] == tag)
            return Bytes(params.begin() + std::ptrdiff_t(i + 2),
                         params.begin() + std::ptrdiff_t(i + 2 + params[i + 1]));
    }
    return std::nullopt;
}

bool isMove(const ObexRequest &request)
{
    static const Bytes move = {'m', 'o', 'v', 'e'};
    return request.code() == 0x02 && request.final() && request.appParams
        && appParam(*request.appParams, actionTag) == move;
}

bool isDelete(const ObexRequest &request)
{
    return request.final() && request.name && !request.body && !request.endOfBody && !request.appParams;
}

// "/Sub/a.txt" as its names; nullopt unless every name is one the phone accepts.
std::optional<std::vector<std::string>> movePath(const std::optional<Bytes> &value)
{
    if (!value)
        return std::nullopt;
    auto text = decodeWireName(value->data(), value->size());
    if (!text || !text->starts_with('/'))
        return std::nullopt;
    std::vector<std::string> names;
    for (std::size_t start = 1;;) {
        const std::size_t slash = text->find('/', start);
        names.push_back(text->substr(start, slash == std::string::npos ? std::string::npos : slash - start));
        if (!Flash::validName(names.back()))
            return std::nullopt;
        if (slash == std::string::npos)
            return names;
        start = slash + 1;
    }
}

std::string pathText(const std::optional<Bytes> &value)
{
    if (!value)
        return "<none>";
    auto text = decodeWireName(value->data(), value->size());
    return text ? *text : "<undecodable:" + hexBytes(*value, "") + ">";
}

} // namespace

ObexServer::ObexServer(const Options &options, Flash &flash) : options_(options), flash_(flash) {}

// A SETPATH into a missing folder and a DELETE of a missing file: C3 (Forbidden) on the
// recorded x55-x65 phones, C4 (Not Found) on the x75 (a GET of a missing file is C4 on all).
std::uint8_t ObexServer::missing(FlashStatus status) const
{
    return status == FlashStatus::NotFound ? options_.model.missingCode : statusCode(status);
}

ObexRequest ObexServer::parse(const Bytes &packet)
{
    ObexRequest request;
    request.opcode = packet.at(0);
    request.length = get16(packet.data() + 1);
    std::size_t pos = 3;
    if (request.opcode == 0x80) {
        if (packet.size() < 7) {
            request.malformed = true;
            return request;
        }
        request.version = packet[3];
        request.connectFlags = packet[4];
        request.maxPacket = get16(packet.data() + 5);
        pos = 7;
    } else if (request.code() == 0x05) {
        if (packet.size() < 5) {
            request.malformed = true;
            return request;
        }
        request.setpathFlags = packet[3];
        pos = 5;
    }
    const std::size_t end = packet.size();
    while (pos < end) {
        std::uint8_t id = packet[pos];
        std::size_t size;
        switch (id >> 6) {
        case 2:
            size = 2;
            break;
        case 3:
            size = 5;
            break;
        default:
            size = pos + 3 <= end ? get16(packet.data() + pos + 1) : 0;
            break;
        }
        // Whatever does not form a header (the program's three zero bytes after a Body)
        // is counted and ignored.
        if (size < ((id >> 6) >= 2 ? 2u : 3u) || pos + size > end) {
            request.shortHeader = (id >> 6) < 2 && pos + 3 <= end && size < 3;
            break;
        }
        const std::uint8_t *value = packet.data() + pos + ((id >> 6) >= 2 ? 1 : 3);
        std::size_t valueSize = size - ((id >> 6) >= 2 ? 1 : 3);
        switch (id) {
        case hName:
            request.rawName.assign(value, value + valueSize);
            request.name = decodeWireName(value, valueSize);
            if (!request.name) {
                request.nameUndecodable = true;
                request.name = std::string();
            }
            break;
        case hType: {
            std::string text(value, value + valueSize);
            while (!text.empty() && text.back() == '\0')
                text.pop_back();
            request.type = text;
            break;
        }
        case hLength:
            request.lengthHeader = get32(value);
            break;
        case hAppParams:
            request.appParams = Bytes(value, value + valueSize);
            break;
        case hBody:
            request.body = Bytes(value, value + valueSize);
            break;
        case hEndOfBody:
            request.endOfBody = Bytes(value, value + valueSize);
            break;
        case hTarget:
            request.target = Bytes(value, value + valueSize);
            break;
        default:
            break;
        }
        pos += size;
    }
    request.extra = end - pos;
    return request;
}

ExchangeKind ObexServer::classify(const ObexRequest &request) const
{
    switch (request.opcode) {
    case 0x80:
        return ExchangeKind::Connect;
    case 0x81:
        return ExchangeKind::Disconnect;
    case 0xFF:
        return ExchangeKind::Abort;
    default:
        break;
    }
    switch (request.code()) {
    case 0x05:
        if (!(request.setpathFlags & 0x01) && !(request.setpathFlags & 0x02) && request.name && !request.name->empty())
            return ExchangeKind::Mkdir;
        return ExchangeKind::Setpath;
    case 0x03:
        if (request.type == folderListingType)
            return ExchangeKind::Listing;
        if (request.appParams && memorySelector(*request.appParams))
            return ExchangeKind::Memory;
        if (request.name || request.type || request.appParams)
            return ExchangeKind::Get;
        return ExchangeKind::Continue;
    case 0x02:
        if (isMove(request) && !upload_.active())
            return ExchangeKind::Move;
        return isDelete(request) && !upload_.active() ? ExchangeKind::Delete : ExchangeKind::Put;
    default:
        return ExchangeKind::Other;
    }
}

std::string ObexServer::describe(const ObexRequest &request) const
{
    auto hex2 = [](unsigned value) { return hexBytes(Bytes{std::uint8_t(value)}); };
    ExchangeKind kind = classify(request);
    std::string text;
    switch (kind) {
    case ExchangeKind::Connect:
        text = "CONNECT version=" + hex2(request.version) + " flags=" + hex2(request.connectFlags)
            + " maxlen=" + hexBytes(Bytes{std::uint8_t(request.maxPacket >> 8), std::uint8_t(request.maxPacket)}, "");
        if (request.target)
            text += " target=" + hexBytes(*request.target, "");
        return text;
    case ExchangeKind::Disconnect:
        return "DISCONNECT";
    case ExchangeKind::Abort:
        return "ABORT";
    case ExchangeKind::Continue:
        return "CONTINUE";
    case ExchangeKind::Delete:
        text = "DELETE";
        break;
    case ExchangeKind::Move:
        return "MOVE from=" + pathText(appParam(*request.appParams, moveFromTag))
            + " to=" + pathText(appParam(*request.appParams, moveToTag));
    case ExchangeKind::Other:
        return "OBEX opcode=" + hex2(request.opcode) + " len=" + std::to_string(request.length);
    default:
        switch (request.code()) {
        case 0x05:
            text = "SETPATH flags=" + hex2(request.setpathFlags);
            break;
        case 0x03:
            text = request.final() ? "GET" : "GET-PART";
            break;
        default:
            text = request.final() ? "PUT-FINAL" : "PUT";
            break;
        }
    }
    if (request.name) {
        text += " name=";
        text += request.nameUndecodable ? "<undecodable:" + hexBytes(request.rawName, "") + ">" : *request.name;
    }
    if (request.type)
        text += " type=" + *request.type;
    if (request.lengthHeader)
        text += " length=" + std::to_string(*request.lengthHeader);
    if (request.appParams) {
        text += " appparam=";
        const Bytes &params = *request.appParams;
        if (params.size() == 3 && params[1] == 1)
            text += hexBytes(Bytes{params[0]}) + ":" + hexBytes(Bytes{params[2]});
        else
            text += hexBytes(params, "");
    }
    if (request.body)
        text += " body=" + std::to_string(request.body->size());
    if (request.endOfBody)
        text += " eob=" + std::to_string(request.endOfBody->size());
    if (request.extra)
        text += " extra=" + std::to_string(request.extra);
    return text;
}

void ObexServer::reset()
{
    flash_.goRoot();
    upload_.abort();
    pendingGet_.reset();
    getRequestPart_.reset();
    followUp_.reset();
    clientMax_ = 255;
}

unsigned ObexServer::outgoingLimit() const
{
    return std::max(255u, std::min(options_.model.packet, clientMax_));
}

std::string ObexServer::takeFault()
{
    return std::exchange(fault_, {});
}

Bytes ObexServer::handle(const ObexRequest &request)
{
    if (request.malformed)
        return response(obex::BadRequest);
    if (request.opcode == 0xFF)
        return abort();
    if (careful_ && request.extra) {
        fault_ = std::string(request.shortHeader ? "a header shorter than 3 bytes" : "bytes after the last header")
            + ", " + std::to_string(request.extra) + " bytes not parsed: refused, nothing stored";
        upload_.abort();
        return response(obex::BadRequest);
    }
    ExchangeKind kind = classify(request);
    if (kind != ExchangeKind::Continue && request.code() != 0x03)
        pendingGet_.reset();
    if (request.code() != 0x02 && upload_.active())
        upload_.abort();
    if (request.length > options_.model.packet && request.opcode != 0x80) {
        upload_.abort();
        return response(obex::EntityTooLarge);
    }
    switch (request.opcode) {
    case 0x80:
        return connect(request);
    case 0x81:
        flash_.goRoot();
        return response(obex::Success);
    default:
        break;
    }
    switch (request.code()) {
    case 0x05:
        return setPath(request);
    case 0x03:
        return get(request);
    case 0x02:
        return put(request);
    default:
        return response(obex::NotImplemented);
    }
}

Bytes ObexServer::abort()
{
    upload_.abort();
    getRequestPart_.reset();
    if (!pendingGet_ || options_.abortGet == AbortGet::AtOnce) {
        pendingGet_.reset();
        return response(obex::Success);
    }
    if (options_.abortGet == AbortGet::Refuse)
        return response(obex::NotImplemented);
    Bytes piece = nextGetPacket();
    pendingGet_.reset();
    followUp_ = response(obex::Success);
    return piece;
}

Bytes ObexServer::connect(const ObexRequest &request)
{
    reset();
    clientMax_ = std::max(255u, request.maxPacket);
    Bytes packet = {obex::Success, 0, 0, 0x10, 0x00};
    put16(packet, options_.model.packet);
    packet.push_back(hConnectionId);
    put32(packet, options_.model.connectionId);
    if (request.target)
        putByteHeader(packet, hWho, request.target->data(), request.target->size());
    finishLength(packet);
    return packet;
}

Bytes ObexServer::setPath(const ObexRequest &request)
{
    if (request.nameUndecodable)
        return response(obex::BadRequest);
    const bool backUp = request.setpathFlags & 0x01;
    const bool mayCreate = !(request.setpathFlags & 0x02);
    const bool named = request.name && !request.name->empty();
    const auto &faults = options_.faults;

    if (!named) {
        if (faults.refuseSetpath >= 0)
            return response(std::uint8_t(faults.refuseSetpath));
        if (backUp)
            return response(statusCode(flash_.goUp()));
        flash_.goRoot();
        return response(obex::Success);
    }
    if (!Flash::validName(*request.name))
        return response(obex::BadRequest);
    auto target = flash_.child(*request.name);
    std::error_code error;
    bool exists = std::filesystem::is_directory(std::filesystem::symlink_status(*target, error));
    if (mayCreate && !exists && !backUp) {
        if (faults.refuseMkdir >= 0)
            return response(std::uint8_t(faults.refuseMkdir));
    } else if (faults.refuseSetpath >= 0) {
        return response(std::uint8_t(faults.refuseSetpath));
    }
    if (backUp) {
        // Up, then into the named sibling; both or neither.
        auto saved = flash_;
        if (flash_.goUp() != FlashStatus::Ok)
            return response(obex::NotFound);
        FlashStatus status = flash_.enter(*request.name, mayCreate);
        if (status != FlashStatus::Ok)
            flash_ = saved;
        return response(missing(status));
    }
    return response(missing(flash_.enter(*request.name, mayCreate)));
}

Bytes ObexServer::get(const ObexRequest &part)
{
    // A GET may spread its headers over non-final packets; answer those with Continue.
    ObexRequest request = part;
    if (getRequestPart_) {
        ObexRequest merged = *getRequestPart_;
        if (part.name) {
            merged.name = part.name;
            merged.nameUndecodable = part.nameUndecodable;
        }
        if (part.type)
            merged.type = part.type;
        if (part.appParams)
            merged.appParams = part.appParams;
        merged.opcode = part.opcode;
        request = merged;
    }
    if (!request.final()) {
        getRequestPart_ = request;
        pendingGet_.reset();
        return response(obex::Continue);
    }
    getRequestPart_.reset();

    if (!request.name && !request.type && !request.appParams) {
        if (!pendingGet_)
            return response(obex::BadRequest);
        return nextGetPacket();
    }
    pendingGet_.reset();
    if (request.nameUndecodable)
        return response(obex::BadRequest);
    if (request.type == folderListingType) {
        std::filesystem::path folder;
        FlashStatus status = flash_.folderFor(request.name.value_or(""), folder);
        if (status != FlashStatus::Ok)
            return response(statusCode(status));
        return startGet(flash_.folderListingXml(folder, options_.model.listingIndent), true);
    }
    if (request.appParams && memorySelector(*request.appParams))
        return memoryFigure(request);
    if (request.type == capabilityType)
        return startGet(capabilityObject(), true);
    if (!request.name || request.name->empty())
        return response(obex::NotFound);
    Bytes content;
    FlashStatus status = flash_.readFile(*request.name, content);
    if (status == FlashStatus::NotFound && options_.model.missingFileEmpty)
        return {obex::Success, 0x00, 0x06, hEndOfBody, 0x00, 0x03};
    if (status != FlashStatus::Ok)
        return response(statusCode(status));
    return startGet(std::move(content), false);
}

Bytes ObexServer::startGet(Bytes data, bool listing)
{
    const Model &model = options_.model;
    pendingGet_ = PendingGet{std::move(data), 0, false, listing ? model.listingEndsEmpty : model.fileEndsEmpty};
    return nextGetPacket();
}

Bytes ObexServer::nextGetPacket()
{
    PendingGet &get = *pendingGet_;
    const bool first = !get.firstSent;
    const Model &model = options_.model;
    const unsigned spare = first ? model.firstSpare : model.nextSpare;
    // A fixed piece still fits the client's own maximum.
    const std::size_t room =
        model.fixedPiece ? std::min(model.fixedPiece, std::max(255u, clientMax_) - spare) : outgoingLimit() - spare;
    const std::size_t remaining = get.data.size() - get.offset;

    Bytes packet = {obex::Continue, 0, 0};
    if (first) {
        packet.push_back(hLength);
        put32(packet, std::uint32_t(get.data.size()));
    }
    std::size_t chunk = std::min(room, remaining);
    bool last;
    if (get.endsEmpty) {
        last = !first && remaining == 0;
    } else {
        last = remaining <= room;
    }
    packet[0] = last ? obex::Success : obex::Continue;
    putByteHeader(packet, last ? hEndOfBody : hBody, get.data.data() + get.offset, chunk);
    get.offset += chunk;
    get.firstSent = true;
    finishLength(packet);
    if (last)
        pendingGet_.reset();
    return packet;
}

Bytes ObexServer::memoryFigure(const ObexRequest &request) const
{
    std::uint8_t which = *memorySelector(*request.appParams);
    std::uint32_t value;
    if (which == 0x01)
        value = flash_.totalBytes();
    else if (which == 0x02)
        value = flash_.freeBytes();
    else
        return response(obex::BadRequest);
    // A0 00 0C 4C 00 09 32 04 and the figure as four big-endian bytes (offsets 8 to 11).
    Bytes packet = {obex::Success, 0, 0, hAppParams, 0x00, 0x09, memoryTag, 0x04};
    put32(packet, value);
    finishLength(packet);
    return packet;
}

Bytes ObexServer::capabilityObject() const
{
    std::string xml = "<?xml version=\"1.0\"?>\r\n"
                      "<!DOCTYPE Capability SYSTEM \"obex-capability.dtd\">\r\n"
                      "<Capability Version=\"1.0\">\r\n"
                      "<General>\r\n"
                      "<Manufacturer>SIEMENS</Manufacturer>\r\n"
                      "<Model>"
        + options_.model.name
        + "</Model>\r\n"
          "<Memory><MemType>FLASH</MemType><Free>"
        + std::to_string(flash_.freeBytes()) + "</Free><Used>" + std::to_string(flash_.usedBytes())
        + "</Used></Memory>\r\n"
          "</General>\r\n"
          "</Capability>\r\n";
    return Bytes(xml.begin(), xml.end());
}

Bytes ObexServer::put(const ObexRequest &request)
{
    if (request.nameUndecodable) {
        upload_.abort();
        return response(obex::BadRequest);
    }
    const auto &faults = options_.faults;
    if (isMove(request) && !upload_.active())
        return move(request);
    // Other application parameters (attributes, other actions) are not known here.
    if (request.appParams && !upload_.active())
        return response(obex::NotImplemented);
    if (isDelete(request) && !upload_.active()) {
        if (!Flash::validName(*request.name))
            return response(obex::BadRequest);
        if (faults.refuseDelete >= 0)
            return response(std::uint8_t(faults.refuseDelete));
        return response(missing(flash_.remove(*request.name)));
    }
    if (request.name && (!upload_.active() || *request.name != upload_.name())) {
        if (!Flash::validName(*request.name)) {
            upload_.abort();
            return response(obex::BadRequest);
        }
        if (faults.refusePut >= 0) {
            upload_.abort();
            return response(std::uint8_t(faults.refusePut));
        }
        FlashStatus status = flash_.startUpload(upload_, *request.name, request.lengthHeader.value_or(0),
                                                options_.model.overwrite == Overwrite::Append);
        if (status != FlashStatus::Ok)
            return response(statusCode(status));
        announced_ = request.lengthHeader;
        received_ = 0;
    }
    if (!upload_.active())
        return response(obex::BadRequest);
    const auto refuse = [&](const std::string &why) {
        fault_ = why + ": refused, nothing stored";
        upload_.abort();
        return response(obex::BadRequest);
    };
    for (const auto *data : {&request.body, &request.endOfBody}) {
        if (!*data)
            continue;
        received_ += (*data)->size();
        if (careful_ && announced_ && received_ > *announced_)
            return refuse("a Body beyond the Length header (" + std::to_string(*announced_) + " bytes)");
        FlashStatus status = upload_.write((*data)->data(), (*data)->size());
        if (status != FlashStatus::Ok)
            return response(statusCode(status));
    }
    if (!request.final())
        return response(obex::Continue);
    if (careful_ && announced_ && received_ != *announced_)
        return refuse("the Length header says " + std::to_string(*announced_) + " bytes, " + std::to_string(received_)
                      + " came");
    return response(statusCode(upload_.commit()));
}

Bytes ObexServer::move(const ObexRequest &request)
{
    if (options_.faults.refuseMove >= 0)
        return response(std::uint8_t(options_.faults.refuseMove));
    auto from = movePath(appParam(*request.appParams, moveFromTag));
    auto to = movePath(appParam(*request.appParams, moveToTag));
    if (!from || !to)
        return response(obex::BadRequest);
    return response(statusCode(flash_.move(*from, *to)));
}

} // namespace phonesim
