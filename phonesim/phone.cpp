#include "phone.h"

#include "crc16.h"

#include <algorithm>
#include <cctype>
#include <utility>

namespace phonesim {

namespace {

constexpr std::uint8_t frameSpeed = 0x01, frameConnect = 0x02, frameAt = 0x06, frameData = 0x16;
const Bytes linkAck = {0x16, 0x02, 0x14, 0x01, 0xFE};

// The damage of one exchange split between its link acknowledgement, sent at once, and
// its response, sent later; byte positions count across both.
std::pair<Damage, Damage> splitDamage(const Damage &damage)
{
    const std::size_t ackSize = damage.withholdAck ? 0 : linkAck.size();
    Damage ack, response = damage;
    ack.withholdAck = damage.withholdAck;
    response.withholdAck = false;
    if (damage.silentAfter && *damage.silentAfter < ackSize) {
        ack.silentAfter = damage.silentAfter;
        response.silentAfter.reset();
    } else if (damage.silentAfter) {
        response.silentAfter = *damage.silentAfter - ackSize;
    }
    if (damage.delayedByte && *damage.delayedByte < ackSize) {
        ack.delayedByte = damage.delayedByte;
        ack.delayMs = damage.delayMs;
        response.delayedByte.reset();
    } else if (damage.delayedByte) {
        response.delayedByte = *damage.delayedByte - ackSize;
    }
    return {ack, response};
}

bool knownFrameType(std::uint8_t type)
{
    return type == frameSpeed || type == frameConnect || type == frameAt || type == frameData;
}

std::string hex2(std::uint8_t value)
{
    return hexBytes(&value, 1);
}

std::string printableText(const Bytes &bytes)
{
    std::string text;
    for (std::uint8_t byte : bytes)
        if (byte >= 0x20 && byte < 0x7F)
            text.push_back(char(byte));
    return text;
}

std::string upperCase(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return char(std::toupper(c)); });
    return text;
}

// Recognisably not a frame: never starts with the data frame type.
Bytes garbage(std::size_t size)
{
    Bytes bytes(std::max<std::size_t>(size, 8));
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = std::uint8_t(0x5A + i * 73);
    return bytes;
}

} // namespace

Phone::Phone(const Options &options, Flash &flash, RequestLog &log, Transmitter &transmitter)
    : options_(options), log_(log), transmitter_(transmitter), faults_(options.faults), server_(options, flash)
{}

void Phone::restart()
{
    mode_ = Mode::At;
    echo_ = true;
    silent_ = false;
    skipping_ = false;
    lineFeedDue_ = false;
    line_.clear();
    frame_.clear();
    block_.clear();
    sequence_ = 0;
    awaitingAck_ = false;
    outbox_.clear();
    server_.reset();
}

void Phone::receive(const std::uint8_t *data, std::size_t size)
{
    log_.traceBytes("RX", data, size);
    for (std::size_t i = 0; i < size; ++i) {
        if (mode_ == Mode::At)
            atByte(data[i]);
        else
            bfbByte(data[i]);
    }
}

void Phone::atByte(std::uint8_t byte)
{
    switch (byte) {
    case '\n':
        return; // the line ends at CR; an LF after it is neither echoed nor part of a command
    case '\r':
        atLine();
        return;
    case 0x08:
        if (!line_.empty())
            line_.pop_back();
        return;
    default:
        if (line_.size() < 512)
            line_.push_back(byte);
    }
}

void Phone::atLine()
{
    Bytes raw;
    raw.swap(line_);
    Bytes out;
    if (echo_) {
        out = raw;
        out.push_back('\r');
    }
    std::string text = printableText(raw);
    std::size_t start = upperCase(text).find("AT");
    if (start == std::string::npos) {
        if (!text.empty())
            log_.line("TEXT " + text);
        reply({}, out, {}, false);
        return;
    }
    std::string command = text.substr(start);
    log_.line("AT " + command);
    Damage damage = faults_.onExchange({ExchangeKind::At});
    logFault(damage);
    bool startBfb = false, endBfb = false;
    append(out, atAnswer(command, startBfb, endBfb));
    reply({}, out, damage, false);
    if (startBfb) {
        log_.line("BFB-START");
        mode_ = Mode::Bfb;
        frame_.clear();
        block_.clear();
        sequence_ = 0;
        skipping_ = false;
        lineFeedDue_ = true;
    }
}

std::string Phone::atAnswer(const std::string &command, bool &startBfb, bool &endBfb)
{
    std::string rest = upperCase(command.substr(2));
    rest.erase(std::remove(rest.begin(), rest.end(), ' '), rest.end());
    const std::string ok = "\r\nOK\r\n";
    auto info = [](const std::string &text) { return "\r\n" + text + "\r\n\r\nOK\r\n"; };

    if (rest.empty())
        return ok;
    if (rest == "Z") {
        echo_ = true;
        return ok;
    }
    if (rest == "E" || rest == "E0" || rest == "E1") {
        echo_ = rest == "E1";
        return ok;
    }
    if (rest == "+CGMM" || rest == "+GMM")
        return info(options_.model);
    if (rest == "+CGMI" || rest == "+GMI")
        return info("SIEMENS");
    if (rest == "+CGMR" || rest == "+GMR")
        return info("21");
    if (rest == "+CGSN" || rest == "+GSN")
        return info("351234567890123");
    if (rest == "I")
        return info("SIEMENS\r\n" + options_.model + "\r\nREVISION 21.00");
    if (rest == "^SIFS")
        return info("^SIFS: WIRE");
    if (rest == "^SBFB=?")
        return info("^SBFB: (0-2)");
    if (rest == "^SBFB=1") {
        startBfb = true;
        return ok;
    }
    if (rest == "^SBFB=0") {
        endBfb = true;
        return ok;
    }
    if (rest == "+IPR?")
        return info("+IPR: 57600");
    if (rest.starts_with("+IPR="))
        return ok;
    return "\r\nERROR\r\n";
}

void Phone::bfbByte(std::uint8_t byte)
{
    if (std::exchange(lineFeedDue_, false) && byte == '\n')
        return;
    if (frame_.empty() && !knownFrameType(byte)) {
        if (std::isalpha(byte)) {
            // A client talking AT to a phone still in BFB mode: back to AT mode.
            log_.line("BFB-END text on the line");
            mode_ = Mode::At;
            block_.clear();
            awaitingAck_ = false;
            outbox_.clear();
            atByte(byte);
            return;
        }
        if (!skipping_)
            log_.line("BAD-FRAME skipping from " + hex2(byte));
        skipping_ = true;
        return;
    }
    frame_.push_back(byte);
    if (frame_.size() == 3 && frame_[2] != (frame_[0] ^ frame_[1])) {
        if (!skipping_)
            log_.line("BAD-FRAME check " + hexBytes(frame_));
        skipping_ = true;
        Bytes rest(frame_.begin() + 1, frame_.end());
        frame_.clear();
        for (std::uint8_t next : rest)
            bfbByte(next);
        return;
    }
    if (frame_.size() >= 3 && frame_.size() == 3u + frame_[1]) {
        skipping_ = false;
        std::uint8_t type = frame_[0];
        Bytes payload(frame_.begin() + 3, frame_.end());
        frame_.clear();
        frameReceived(type, payload);
    }
}

void Phone::frameReceived(std::uint8_t type, const Bytes &payload)
{
    if (type == frameData)
        dataPayload(payload);
    else
        setupFrame(type, payload);
}

void Phone::setupFrame(std::uint8_t type, const Bytes &payload)
{
    std::string text = "BFB-SETUP type=" + hex2(type);
    Bytes answer;
    bool endBfb = false;
    if (type == frameConnect) {
        text += " data=" + hexBytes(payload);
        answer = frame(frameConnect, {payload.empty() ? std::uint8_t(0) : payload[0], 0xAA});
    } else if (type == frameSpeed) {
        std::string digits;
        for (std::uint8_t byte : payload)
            if (std::isdigit(byte))
                digits.push_back(char(byte));
        text += " data=" + hexBytes(payload) + " speed=" + digits;
        answer = frame(frameSpeed, payload);
    } else {
        std::string command = printableText(payload);
        text += " at=" + command;
        bool startBfb = false;
        std::string answerText =
            upperCase(command).starts_with("AT") ? atAnswer(command, startBfb, endBfb) : "\r\nERROR\r\n";
        answer = frame(frameAt, Bytes(answerText.begin(), answerText.end()));
    }
    log_.line(text);
    Damage damage = faults_.onExchange({ExchangeKind::Setup});
    logFault(damage);
    reply({}, answer, damage, false);
    if (endBfb) {
        log_.line("BFB-END");
        mode_ = Mode::At;
        block_.clear();
        awaitingAck_ = false;
        outbox_.clear();
    }
}

void Phone::dataPayload(const Bytes &payload)
{
    for (std::uint8_t byte : payload) {
        if (block_.empty() && byte != 0x01 && byte != 0x02 && byte != 0x03) {
            log_.line("BAD-BLOCK command=" + hex2(byte) + ", rest of the frame skipped");
            return;
        }
        block_.push_back(byte);
        if (block_[0] == 0x01) {
            if (block_.size() == 2) {
                block_.clear();
                clientAcknowledged();
            }
        } else if (block_.size() >= 5 && block_.size() == get16(block_.data() + 3) + 7u) {
            blockReceived();
            block_.clear();
        }
    }
}

void Phone::clientAcknowledged()
{
    log_.line("ACK");
    awaitingAck_ = false;
    releaseResponses();
}

void Phone::releaseResponses()
{
    while (!outbox_.empty() && !awaitingAck_) {
        Held next = std::move(outbox_.front());
        outbox_.pop_front();
        reply({}, next.response, next.damage, true);
    }
}

void Phone::blockReceived()
{
    const std::uint8_t command = block_[0];
    if (block_[1] != std::uint8_t(~command)) {
        log_.line("BAD-BLOCK complement " + hexBytes(block_.data(), 2));
        return;
    }
    const std::size_t size = block_.size() - 7;
    const std::uint16_t want = crc16X25(block_.data() + 2, size + 3);
    const std::uint16_t got = std::uint16_t(block_[size + 5] | (block_[size + 6] << 8));
    if (got != want) {
        // A phone drops a corrupted block: no acknowledgement, no answer.
        log_.line("BAD-CRC seq=" + hex2(block_[2])
                  + " got=" + hexBytes(Bytes{std::uint8_t(got >> 8), std::uint8_t(got)}, "")
                  + " want=" + hexBytes(Bytes{std::uint8_t(want >> 8), std::uint8_t(want)}, ""));
        return;
    }
    Damage damage = faults_.onExchange({ExchangeKind::Block});

    // A data block carries exactly one OBEX packet. Anything else is dropped without an
    // acknowledgement: obexftp follows each packet with blocks that repeat its tail and
    // then reads once, expecting the response there, not a row of acknowledgements.
    Bytes packet(block_.begin() + 5, block_.begin() + 5 + std::ptrdiff_t(size));
    const std::uint8_t opcode = packet.empty() ? 0 : packet[0];
    if (packet.size() < 3 || get16(packet.data() + 1) != packet.size()) {
        log_.line("BAD-PACKET " + hexBytes(packet.data(), std::min<std::size_t>(packet.size(), 8))
                  + (packet.size() > 8 ? " ..." : "") + " size=" + std::to_string(packet.size()) + ", dropped");
        return;
    }
    if (!(opcode & 0x80) && opcode != 0x02 && opcode != 0x03) {
        log_.line("BAD-PACKET opcode=" + hex2(opcode) + " size=" + std::to_string(packet.size()) + ", dropped");
        return;
    }
    ObexRequest request = ObexServer::parse(packet);
    log_.line(server_.describe(request));
    damage.merge(faults_.onExchange({ExchangeKind::Obex, server_.classify(request)}));
    Bytes response = server_.handle(request);
    log_.line("RSP code=" + hex2(response[0]) + " len=" + std::to_string(response.size()));
    logFault(damage);

    Bytes frames = responseFrames(response, damage.badCrc);
    if (awaitingAck_ || !outbox_.empty()) {
        auto [ackDamage, responseDamage] = splitDamage(damage);
        reply(linkAck, {}, ackDamage, false);
        outbox_.push_back({std::move(frames), responseDamage});
    } else {
        // One write: obexftp reads once and wants the response with the acknowledgement.
        reply(linkAck, frames, damage, true);
    }
}

void Phone::reply(Bytes ack, Bytes response, const Damage &damage, bool expectsAck)
{
    if (silent_)
        return;
    if (damage.withholdAck)
        ack.clear();
    if (damage.garbage) {
        if (!response.empty())
            response = garbage(response.size());
        else
            ack = garbage(ack.size());
    }
    Bytes out = std::move(ack);
    append(out, response);
    if (damage.silentAfter) {
        out.resize(std::min(out.size(), *damage.silentAfter));
        silent_ = true;
    }
    transmitter_.send(out, damage.delayedByte, damage.delayMs);
    if (expectsAck && !response.empty())
        awaitingAck_ = true;
}

Bytes Phone::frame(std::uint8_t type, const Bytes &payload) const
{
    std::size_t size = std::min<std::size_t>(payload.size(), 255);
    Bytes out = {type, std::uint8_t(size), std::uint8_t(type ^ size)};
    out.insert(out.end(), payload.begin(), payload.begin() + std::ptrdiff_t(size));
    return out;
}

Bytes Phone::responseFrames(const Bytes &packet, bool badCrc)
{
    const std::uint8_t command = sequence_ == 0 ? 0x02 : 0x03;
    Bytes block = {command, std::uint8_t(~command), sequence_};
    ++sequence_;
    put16(block, unsigned(packet.size()));
    append(block, packet);
    std::uint16_t crc = crc16X25(block.data() + 2, block.size() - 2);
    if (badCrc)
        crc ^= 0x5A5A;
    block.push_back(std::uint8_t(crc));
    block.push_back(std::uint8_t(crc >> 8));

    // Cut into frames; the last frame always carries both CRC bytes.
    std::vector<std::size_t> pieces;
    for (std::size_t left = block.size(); left > 0;) {
        std::size_t piece = std::min<std::size_t>(left, options_.frame);
        pieces.push_back(piece);
        left -= piece;
    }
    if (pieces.size() > 1 && pieces.back() == 1) {
        --pieces[pieces.size() - 2];
        ++pieces.back();
    }
    Bytes out;
    std::size_t offset = 0;
    for (std::size_t piece : pieces) {
        append(out,
               frame(frameData,
                     Bytes(block.begin() + std::ptrdiff_t(offset), block.begin() + std::ptrdiff_t(offset + piece))));
        offset += piece;
    }
    return out;
}

void Phone::logFault(const Damage &damage)
{
    if (damage.any())
        log_.line("FAULT " + damage.text() + " on " + options_.faults.on.text());
}

} // namespace phonesim
