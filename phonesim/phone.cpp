#include "phone.h"

#include <sumlet/crc16x25.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <utility>

namespace phonesim {

namespace {

constexpr std::uint8_t frameSpeed = 0x01, frameConnect = 0x02, frameAt = 0x06, frameData = 0x16;
// The payload of SieFS's ping, a type-02 frame that asks whether the phone is in BFB mode.
constexpr std::uint8_t pingByte = 0x14;
const Bytes linkAck = {0x16, 0x02, 0x14, 0x01, 0xFE};
// A phone agreeing to a speed frame answers with its first payload byte changed to this.
constexpr std::uint8_t speedAccepted = 0xCC;
// A frame or block left unfinished this long is given up: what is left of it was lost.
constexpr auto staleAfter = std::chrono::seconds(1);
// The phone changes its rate this long after its answer to a speed frame has left.
constexpr auto switchAfter = std::chrono::milliseconds(100);
// The +++ escape: this much silence before it, and after it until the phone is back in
// AT mode (the recorded phones answer OK about 1.01 s after the +++).
constexpr auto escapeGuard = std::chrono::seconds(1);
// The recorded phones answer AT^SQWE=3 within 2 to 11 ms.
constexpr unsigned plainSwitchLatencyMs = 7;
// The recorded phones send one 00 byte about 140 ms after the port opens.
constexpr unsigned zeroByteAfterMs = 140;

// The speed frames known from Siemens phones: 0xC0, the rate in ASCII digits and three
// check bytes.
struct KnownSpeed
{
    unsigned baud;
    Bytes payload;
};
const std::array<KnownSpeed, 4> knownSpeeds = {{
    {19200, {0xC0, '1', '9', '2', '0', '0', 0xCE, 0x4D, 0xCF}},
    {38400, {0xC0, '3', '8', '4', '0', '0', 0xCC, 0x4B, 0xCF}},
    {57600, {0xC0, '5', '7', '6', '0', '0', 0xCA, 0x89, 0xCF}},
    {115200, {0xC0, '1', '1', '5', '2', '0', '0', 0x0D, 0xD2, 0x2B}},
}};

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

// The first byte of an OBEX request: CONNECT, DISCONNECT, PUT, GET, SETPATH, ABORT.
bool requestOpcode(std::uint8_t byte)
{
    const std::uint8_t code = byte & 0x7F;
    return byte == 0x80 || byte == 0x81 || byte == 0xFF || code == 0x02 || code == 0x03 || code == 0x05;
}

bool printable(std::uint8_t byte)
{
    return byte >= 0x20 && byte < 0x7F;
}

std::string hex2(std::uint8_t value)
{
    return hexBytes(&value, 1);
}

std::string printableText(const Bytes &bytes)
{
    std::string text;
    for (std::uint8_t byte : bytes)
        if (printable(byte))
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

Phone::Phone(const Options &options, Flash &flash, RequestLog &log, Transmitter &transmitter, LineRate &rate)
    : options_(options)
    , log_(log)
    , transmitter_(transmitter)
    , rate_(rate)
    , faults_(options.faults)
    , blockFaults_(options.faults)
    , flipChoice_(options.faults.seed, 3)
    , server_(options, flash)
{}

void Phone::lineClosed()
{
    if (escapeDue_)
        log_.line("ESCAPE-LOST the line closed within the guard second after +++");
    escapeDue_.reset();
    pluses_ = 0;
}

void Phone::lineOpened()
{
    silent_ = false;
    // Only in AT mode: no recording shows a phone in OBEX mode opened again, and none
    // through a DCA-540 sends it.
    if (mode_ == Mode::At && options_.model.zeroByteOnOpen && options_.interface != Interface::Usb)
        transmitter_.send({0x00}, zeroByteAfterMs);
}

void Phone::powerCycle()
{
    mode_ = Mode::At;
    deaf_ = false;
    echo_ = true;
    silent_ = false;
    skipping_ = false;
    lineFeedDue_ = false;
    bfbIgnored_ = false;
    line_.clear();
    frame_.clear();
    block_.clear();
    packet_.clear();
    pluses_ = 0;
    escapeDue_.reset();
    sequence_ = 0;
    lastAccepted_.reset();
    outstanding_.reset();
    outbox_.clear();
    server_.reset();
    rate_.reset();
}

void Phone::startBfb()
{
    log_.line("BFB-START");
    mode_ = Mode::Bfb;
    server_.setCareful(false);
    frame_.clear();
    block_.clear();
    skipping_ = false;
    lineFeedDue_ = true;
    lastByte_ = Clock::now();
    rate_.startBfb();
    startLink();
}

void Phone::startLink()
{
    // Its CONNECT carries sequence number 0 again, whatever came before.
    sequence_ = 0;
    lastAccepted_.reset();
    outstanding_.reset();
    outbox_.clear();
}

void Phone::endBfb(const std::string &why)
{
    log_.line(why.empty() ? "BFB-END" : "BFB-END " + why);
    mode_ = Mode::At;
    frame_.clear();
    block_.clear();
    outstanding_.reset();
    outbox_.clear();
    server_.reset();
    rate_.backToAt();
}

void Phone::startPlain()
{
    log_.line("PLAIN-START");
    mode_ = Mode::Plain;
    server_.setCareful(true);
    disconnected_ = false;
    packet_.clear();
    skipping_ = false;
    lineFeedDue_ = true;
    pluses_ = 0;
    escapeDue_.reset();
    lastByte_ = Clock::now();
    rate_.startPlain();
}

void Phone::endPlain(const std::string &why)
{
    log_.line("PLAIN-END " + why);
    mode_ = Mode::At;
    packet_.clear();
    skipping_ = false;
    pluses_ = 0;
    escapeDue_.reset();
    server_.reset();
    rate_.backToAt();
}

void Phone::receive(const std::uint8_t *data, std::size_t size)
{
    const auto now = Clock::now();
    bool quiet = now - lastByte_ >= escapeGuard;
    if (mode_ != Mode::At)
        lastByte_ = now;
    for (std::size_t i = 0; i < size && !deaf_; ++i) {
        if (mode_ == Mode::At)
            atByte(data[i]);
        else if (mode_ == Mode::Bfb)
            bfbByte(data[i]);
        else
            plainByte(data[i], std::exchange(quiet, false));
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
        // Binary bytes sent to a phone that took AT^SBFB=1 but ignores BFB start no command.
        if (bfbIgnored_ && !printable(byte))
            line_.clear();
        else if (line_.size() < 512)
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
        if (!bfbIgnored_)
            reply({}, out, {}, options_.atLatencyMs);
        return;
    }
    bfbIgnored_ = false;
    std::string command = text.substr(start);
    log_.line("AT " + command);
    Damage damage = faults_.onExchange({ExchangeKind::At});
    logFault(damage);
    if (options_.model.errorAt230400 && rate_.baud() == 230400) {
        // The recorded x65 and x75 phones: no echo, no command, ERROR.
        reply({}, Bytes{'\r', '\n', 'E', 'R', 'R', 'O', 'R', '\r', '\n'}, damage, options_.atLatencyMs);
        return;
    }
    Switch to = Switch::None;
    append(out, atAnswer(command, to));
    reply({}, out, damage,
          to == Switch::Plain ? std::min(options_.atLatencyMs, plainSwitchLatencyMs) : options_.atLatencyMs);
    if (to == Switch::Bfb && options_.model.answersBfb) {
        startBfb();
    } else if (to == Switch::Bfb) {
        log_.line("BFB-IGNORED, no frame is answered");
        bfbIgnored_ = true;
    } else if (to == Switch::Plain) {
        startPlain();
    }
}

bool Phone::basicCommands(const std::string &commands)
{
    bool echo = echo_;
    for (std::size_t i = 0; i < commands.size();) {
        const char command = commands[i++];
        char value = '0'; // a command without its digit means 0
        if (i < commands.size() && std::isdigit((unsigned char)commands[i]))
            value = commands[i++];
        if (command == 'E' && (value == '0' || value == '1'))
            echo = value == '1';
        else if (command == 'Z' && value == '0')
            echo = true;
        else if (!(command == 'Q' && value == '0') && !(command == 'V' && value == '1'))
            return false;
    }
    echo_ = echo;
    return true;
}

std::string Phone::atAnswer(const std::string &command, Switch &to)
{
    std::string rest = upperCase(command.substr(2));
    rest.erase(std::remove(rest.begin(), rest.end(), ' '), rest.end());
    const std::string ok = "\r\nOK\r\n";
    auto info = [](const std::string &text) { return "\r\n" + text + "\r\n\r\nOK\r\n"; };

    if (rest.empty() || basicCommands(rest))
        return ok;
    if (rest == "+CGMM" || rest == "+GMM")
        return info(options_.model.name);
    if (rest == "+CGMI" || rest == "+GMI")
        return info("SIEMENS");
    if (rest == "+CGMR" || rest == "+GMR")
        return info("21");
    if (rest == "+CGSN" || rest == "+GSN")
        return info("351234567890123");
    if (rest == "I")
        return info("SIEMENS\r\n" + options_.model.name + "\r\nREVISION 21.00");
    if (rest == "^SIFS") {
        switch (options_.interface) {
        case Interface::Usb:
            return info("^SIFS: USB");
        case Interface::Blue:
            return info("^SIFS: BLUE");
        case Interface::Irda:
            return info("^SIFS: IRDA");
        case Interface::Wire:
            break;
        }
        return info("^SIFS: WIRE");
    }
    if (rest == "^SBFB=?")
        return info("^SBFB: (0-2)");
    if (rest == "^SBFB=1") {
        to = Switch::Bfb;
        return ok;
    }
    if (rest == "^SBFB=0") {
        to = Switch::At;
        return ok;
    }
    // Peers send =0, then =3 for plain OBEX on the line.
    if (rest == "^SQWE=0")
        return ok;
    if (rest == "^SQWE=3" && !options_.faults.refusePlain) {
        to = Switch::Plain;
        return ok;
    }
    if (rest == "+IPR?")
        return info("+IPR: 57600");
    if (rest.starts_with("+IPR="))
        return ok;
    return "\r\nERROR\r\n";
}

void Phone::skipFrom(const std::string &logLine)
{
    if (!skipping_)
        log_.line(logLine);
    skipping_ = true;
}

void Phone::bfbByte(std::uint8_t byte)
{
    if (std::exchange(lineFeedDue_, false) && byte == '\n')
        return;
    if (frame_.empty() && !knownFrameType(byte)) {
        // AT text too: a phone in BFB mode takes it for bytes that start no frame.
        skipFrom("BAD-FRAME skipping from " + hex2(byte));
        return;
    }
    frame_.push_back(byte);
    if (frame_.size() == 3 && frame_[2] != (frame_[0] ^ frame_[1])) {
        skipFrom("BAD-FRAME check " + hexBytes(frame_));
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
    std::string speedText;
    Bytes answer;
    Switch to = Switch::None;
    unsigned latencyMs = options_.obexLatencyMs;
    if (type == frameConnect && payload == Bytes{pingByte}) {
        text = "PING";
        answer = frame(frameConnect, {pingByte, 0xAA});
    } else if (type == frameConnect) {
        text += " data=" + hexBytes(payload);
        answer = frame(frameConnect, {payload.empty() ? std::uint8_t(0) : payload[0], 0xAA});
    } else if (type == frameSpeed) {
        std::string digits;
        for (std::uint8_t byte : payload)
            if (std::isdigit(byte))
                digits.push_back(char(byte));
        text += " data=" + hexBytes(payload) + " speed=" + digits;
        answer = frame(frameSpeed, speedAnswer(payload, speedText));
    } else {
        std::string command = printableText(payload);
        text += " at=" + command;
        std::string answerText = upperCase(command).starts_with("AT") ? atAnswer(command, to) : "\r\nERROR\r\n";
        answer = frame(frameAt, Bytes(answerText.begin(), answerText.end()));
        latencyMs = options_.atLatencyMs;
    }
    log_.line(text);
    if (!speedText.empty())
        log_.line(speedText);
    Damage damage = faults_.onExchange({ExchangeKind::Setup});
    logFault(damage);
    reply({}, answer, damage, latencyMs);
    if (to == Switch::At) {
        endBfb("AT^SBFB=0");
    } else if (to == Switch::Plain) {
        endBfb("AT^SQWE=3");
        startPlain();
    }
}

Bytes Phone::speedAnswer(const Bytes &payload, std::string &logText)
{
    for (const KnownSpeed &speed : knownSpeeds) {
        if (payload != speed.payload)
            continue;
        const std::string rate = std::to_string(speed.baud);
        if (options_.faults.refuseSpeed && speed.baud != rate_.startBaud()) {
            logText = "SPEED " + rate + " refused";
            return payload;
        }
        logText = "SPEED " + rate + " accepted";
        rate_.schedule(speed.baud);
        Bytes answer = payload;
        answer[0] = speedAccepted;
        return answer;
    }
    // An unknown rate, or a known one with other check bytes: echoed unchanged.
    logText = "SPEED refused: not a known speed frame";
    return payload;
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

void Phone::dropIncomplete()
{
    if (!frame_.empty())
        log_.line("BAD-FRAME incomplete " + hexBytes(frame_.data(), std::min<std::size_t>(frame_.size(), 3))
                  + ", dropped");
    if (!block_.empty())
        log_.line("BAD-BLOCK incomplete, " + std::to_string(block_.size()) + " bytes dropped");
    if (!packet_.empty())
        log_.line("BAD-PACKET incomplete, " + std::to_string(packet_.size()) + " bytes dropped");
    frame_.clear();
    block_.clear();
    packet_.clear();
    skipping_ = false;
}

void Phone::clientAcknowledged()
{
    if (outstanding_ && takeBlock(blockFaults_.loseRxAck, outstanding_->number)) {
        log_.line("FAULT lose-rx-ack block=" + std::to_string(outstanding_->number)
                  + " seq=" + hex2(outstanding_->sequence));
        return;
    }
    log_.line("ACK");
    outstanding_.reset();
    releaseResponses();
}

void Phone::blockReceived()
{
    const unsigned number = ++clientBlocks_;
    const std::uint8_t sequence = block_[2];
    const std::string which = "block=" + std::to_string(number) + " seq=" + hex2(sequence);
    if (takeBlock(blockFaults_.loseRxBlock, number)) {
        log_.line("FAULT lose-rx-block " + which);
        return;
    }
    if (takeBlock(blockFaults_.flipRx, number))
        flipBit(block_, "flip-rx", number);

    const std::uint8_t command = block_[0];
    if (block_[1] != std::uint8_t(~command)) {
        log_.line("BAD-BLOCK complement " + hexBytes(block_.data(), 2));
        return;
    }
    const std::size_t size = block_.size() - 7;
    const std::uint16_t want = sumlet::crc16X25(block_.data() + 2, size + 3);
    const std::uint16_t got = std::uint16_t(block_[size + 5] | (block_[size + 6] << 8));
    if (got != want) {
        // A phone drops a corrupted block: no acknowledgement, no answer; it comes again.
        log_.line("BAD-CRC seq=" + hex2(sequence)
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
    const bool ackLost = takeBlock(blockFaults_.loseTxAck, number);
    if (ackLost)
        log_.line("FAULT lose-tx-ack " + which);
    if (command == 0x02 && sequence == 0 && opcode == 0x80) {
        // A client that found the phone still in BFB mode starts a link of its own. A
        // CONNECT sent again for a lost acknowledgement is simply answered again.
        if (lastAccepted_)
            log_.line("LINK-START");
        startLink();
    }

    if (lastAccepted_ == sequence) {
        // Its acknowledgement was lost on the way: acknowledge it again, do nothing more.
        log_.line("REPEAT seq=" + hex2(sequence) + ", acknowledged again");
        logFault(damage);
        damage.withholdAck = damage.withholdAck || ackLost;
        reply(linkAck, {}, damage, options_.obexLatencyMs);
        return;
    }
    lastAccepted_ = sequence;

    Bytes response = serve(packet, damage);
    damage.withholdAck = damage.withholdAck || ackLost;
    respond(response, damage);
    // A second answer goes in a block of its own once the first is acknowledged.
    if (auto more = followUp()) {
        outbox_.push_back({std::move(*more), {}});
        releaseResponses();
    }
}

std::optional<Bytes> Phone::followUp()
{
    std::optional<Bytes> more = server_.takeFollowUp();
    if (more)
        log_.line("RSP code=" + hex2((*more)[0]) + " len=" + std::to_string(more->size()));
    return more;
}

Bytes Phone::serve(const Bytes &packet, Damage &damage)
{
    ObexRequest request = ObexServer::parse(packet);
    log_.line(server_.describe(request));
    damage.merge(faults_.onExchange({ExchangeKind::Obex, server_.classify(request)}));
    Bytes response = server_.handle(request);
    if (const std::string fault = server_.takeFault(); !fault.empty())
        log_.line("FAULT careful: " + fault);
    log_.line("RSP code=" + hex2(response[0]) + " len=" + std::to_string(response.size()));
    logFault(damage);
    return response;
}

// A line without checksums: bytes that start no request are skipped up to the next
// byte that may (a real phone's reader can do no better), and a packet left
// unfinished for a second is dropped. After a second of silence, +++ and another
// second of silence take the phone back to AT mode.
void Phone::plainByte(std::uint8_t byte, bool quiet)
{
    if (std::exchange(lineFeedDue_, false) && byte == '\n')
        return;
    if (packet_.empty() && byte == '+' && pluses_ < 3 && (pluses_ > 0 || quiet)) {
        if (++pluses_ < 3)
            return;
        if (options_.interface == Interface::Usb) {
            // What no recording shows, in its worst case: the start of a packet of
            // 0x2B2B bytes that never comes whole.
            log_.line("FAULT +++ on a USB interface, taken for a packet of 0x2B2B bytes: deaf until switched off");
            deaf_ = true;
            return;
        }
        escapeDue_ = Clock::now() + escapeGuard;
        return;
    }
    pluses_ = 0;
    escapeDue_.reset();
    if (packet_.empty() && !requestOpcode(byte)) {
        skipFrom("BAD-PACKET skipping from " + hex2(byte));
        return;
    }
    packet_.push_back(byte);
    if (packet_.size() == 3 && get16(packet_.data() + 1) < 3) {
        // No packet is that short: it starts at a later byte, if anywhere.
        skipFrom("BAD-PACKET length " + hexBytes(packet_));
        Bytes rest(packet_.begin() + 1, packet_.end());
        packet_.clear();
        for (std::uint8_t next : rest)
            plainByte(next, false);
        return;
    }
    if (packet_.size() >= 3 && packet_.size() == get16(packet_.data() + 1)) {
        skipping_ = false;
        Bytes packet;
        packet.swap(packet_);
        plainPacket(packet);
    }
}

void Phone::plainPacket(const Bytes &packet)
{
    Damage damage;
    Bytes response = serve(packet, damage);
    const Model &model = options_.model;
    unsigned latencyMs = options_.obexLatencyMs;
    if (packet[0] == 0x80 && model.connectAnswerMs)
        latencyMs = model.connectAnswerMs;
    if (packet[0] == 0x81 && !std::exchange(disconnected_, true) && model.firstDisconnectMs)
        latencyMs = model.firstDisconnectMs;
    reply({}, response, damage, latencyMs);
    if (auto more = followUp())
        reply({}, *more, {}, 0);
}

void Phone::respond(const Bytes &packet, const Damage &damage)
{
    if (outstanding_ || !outbox_.empty()) {
        auto [ackDamage, responseDamage] = splitDamage(damage);
        reply(linkAck, {}, ackDamage, options_.obexLatencyMs);
        outbox_.push_back({packet, responseDamage});
    } else {
        // One write: obexftp reads once and wants the response with the acknowledgement.
        transmitBlock(linkAck, packet, damage, options_.obexLatencyMs);
    }
}

void Phone::transmitBlock(Bytes ack, const Bytes &packet, const Damage &damage, unsigned latencyMs)
{
    const std::uint8_t command = sequence_ == 0 ? 0x02 : 0x03;
    Bytes block = {command, std::uint8_t(~command), sequence_};
    put16(block, unsigned(packet.size()));
    append(block, packet);
    const std::uint16_t crc = sumlet::crc16X25(block.data() + 2, block.size() - 2);
    block.push_back(std::uint8_t(crc));
    block.push_back(std::uint8_t(crc >> 8));

    Outstanding sent{block, sequence_, ++phoneBlocks_, 0};
    ++sequence_;
    if (damage.badCrc) {
        block[block.size() - 2] ^= 0x5A;
        block[block.size() - 1] ^= 0x5A;
    }
    if (takeBlock(blockFaults_.flipTx, sent.number))
        flipBit(block, "flip-tx", sent.number);
    reply(std::move(ack), cutIntoFrames(block), damage, latencyMs);
    if (!silent_)
        outstanding_ = std::move(sent);
}

void Phone::releaseResponses()
{
    while (!outstanding_ && !outbox_.empty()) {
        Held next = std::move(outbox_.front());
        outbox_.pop_front();
        transmitBlock({}, next.packet, next.damage, 0);
    }
}

void Phone::resendOrGiveUp()
{
    Outstanding &block = *outstanding_;
    if (block.resends >= options_.resends) {
        log_.line("GIVE-UP seq=" + hex2(block.sequence) + " after " + std::to_string(block.resends) + " resends");
        outstanding_.reset();
        releaseResponses();
        return;
    }
    ++block.resends;
    block.number = ++phoneBlocks_;
    log_.line("RESEND seq=" + hex2(block.sequence) + " try=" + std::to_string(block.resends)
              + " block=" + std::to_string(block.number));
    Bytes copy = block.block;
    if (takeBlock(blockFaults_.flipTx, block.number))
        flipBit(copy, "flip-tx", block.number);
    transmitter_.send(cutIntoFrames(copy));
}

std::optional<Phone::Clock::time_point> Phone::resendDue() const
{
    if (!outstanding_ || options_.resendAfterMs == 0 || !transmitter_.idle())
        return std::nullopt;
    return transmitter_.idleSince() + std::chrono::milliseconds(options_.resendAfterMs);
}

std::optional<Phone::Clock::time_point> Phone::switchDue() const
{
    if (!rate_.pending() || !transmitter_.idle())
        return std::nullopt;
    return transmitter_.idleSince() + switchAfter;
}

std::optional<Phone::Clock::time_point> Phone::staleDue() const
{
    if (mode_ == Mode::At || (frame_.empty() && block_.empty() && packet_.empty() && !skipping_))
        return std::nullopt;
    return lastByte_ + staleAfter;
}

void Phone::tick(Clock::time_point now)
{
    if (auto due = switchDue(); due && now >= *due)
        rate_.commit();
    if (auto due = resendDue(); due && now >= *due) {
        if (silent_)
            outstanding_.reset();
        else
            resendOrGiveUp();
    }
    if (auto due = staleDue(); due && now >= *due)
        dropIncomplete();
    if (escapeDue_ && now >= *escapeDue_) {
        endPlain("+++");
        if (options_.model.answersEscape)
            reply({}, Bytes{'\r', '\n', 'O', 'K', '\r', '\n'}, {}, 0);
    }
}

std::optional<Phone::Clock::time_point> Phone::nextTimer() const
{
    std::optional<Clock::time_point> next;
    for (auto due : {switchDue(), resendDue(), staleDue(), escapeDue()})
        if (due && (!next || *due < *next))
            next = due;
    return next;
}

void Phone::reply(Bytes ack, Bytes response, const Damage &damage, unsigned latencyMs)
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
    transmitter_.send(out, latencyMs, damage.delayedByte, damage.delayMs);
}

Bytes Phone::frame(std::uint8_t type, const Bytes &payload) const
{
    std::size_t size = std::min<std::size_t>(payload.size(), 255);
    Bytes out = {type, std::uint8_t(size), std::uint8_t(type ^ size)};
    out.insert(out.end(), payload.begin(), payload.begin() + std::ptrdiff_t(size));
    return out;
}

Bytes Phone::cutIntoFrames(const Bytes &block) const
{
    std::vector<std::size_t> pieces;
    for (std::size_t left = block.size(); left > 0;) {
        std::size_t piece = std::min<std::size_t>(left, options_.frame);
        pieces.push_back(piece);
        left -= piece;
    }
    // The shape that keeps both CRC bytes in the last frame.
    if (options_.cut == Cut::CrcLast && pieces.size() > 1 && pieces.back() == 1) {
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

void Phone::flipBit(Bytes &block, const char *fault, unsigned number)
{
    // A bit of the packet or the CRC: the block keeps its length, its CRC no longer fits.
    const std::size_t bit = 40 + std::size_t(flipChoice_.below(8 * (block.size() - 5)));
    block[bit / 8] = std::uint8_t(block[bit / 8] ^ (1u << (bit % 8)));
    log_.line(std::string("FAULT ") + fault + " block=" + std::to_string(number) + " seq=" + hex2(block[2])
              + " bit=" + std::to_string(bit));
}

void Phone::logFault(const Damage &damage)
{
    if (damage.any())
        log_.line("FAULT " + damage.text() + " on " + options_.faults.on.text());
}

} // namespace phonesim
