#include "phonetestclient.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QThread>

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

bool PhoneSimProcess::start(const QString &root, const QStringList &extra)
{
    logPath = logDir.filePath(QStringLiteral("phonesim.log"));
    QStringList args{QStringLiteral("--log"), logPath};
    if (!root.isEmpty())
        args << QStringLiteral("--root") << root;
    return launch(args + extra, QProcess::SeparateChannels) && device.startsWith(QStringLiteral("/dev/"));
}

int PhoneSimProcess::stop()
{
    if (process.state() == QProcess::NotRunning)
        return process.exitCode();
    process.terminate();
    if (process.waitForFinished(5000))
        return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    process.kill();
    process.waitForFinished(2000);
    return -1;
}

bool PhoneSimProcess::waitForLog(const QString &prefix, int count, int timeoutMs) const
{
    QDeadlineTimer deadline(timeoutMs);
    while (logLines(prefix).size() < count) {
        if (deadline.hasExpired())
            return false;
        QThread::msleep(10);
    }
    return true;
}

QByteArray toCp1251(const QString &text)
{
    QByteArray out;
    for (QChar c : text) {
        const ushort u = c.unicode();
        if (u < 0x80)
            out.append(char(u));
        else if (u >= 0x0410 && u <= 0x044F)
            out.append(char(0xC0 + (u - 0x0410)));
        else if (u == 0x0401)
            out.append(char(0xA8));
        else if (u == 0x0451)
            out.append(char(0xB8));
        else
            out.append('?');
    }
    return out;
}

QByteArray cp1251NameValue(const QString &name)
{
    QByteArray out;
    for (char byte : toCp1251(name)) {
        out.append('\0');
        out.append(byte);
    }
    out.append(2, '\0');
    return out;
}

QByteArray utf16NameValue(const QString &name)
{
    QByteArray out;
    for (QChar c : name) {
        out.append(char(c.unicode() >> 8));
        out.append(char(c.unicode() & 0xFF));
    }
    out.append(2, '\0');
    return out;
}

quint16 testCrc(const QByteArray &data)
{
    // Bitwise CRC-16/X-25, written without a table on purpose.
    quint16 crc = 0xFFFF;
    for (char c : data) {
        crc ^= quint8(c);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? quint16((crc >> 1) ^ 0x8408) : quint16(crc >> 1);
    }
    return quint16(~crc);
}

QList<ObexHeader> parseHeaders(const QByteArray &packet, int offset)
{
    QList<ObexHeader> headers;
    int pos = offset;
    while (pos < packet.size()) {
        const auto id = std::uint8_t(packet[pos]);
        int size;
        if ((id >> 6) == 2)
            size = 2;
        else if ((id >> 6) == 3)
            size = 5;
        else if (pos + 3 <= packet.size())
            size = (quint8(packet[pos + 1]) << 8) | quint8(packet[pos + 2]);
        else
            break;
        if (size < 2 || pos + size > packet.size())
            break;
        const int valueStart = (id >> 6) >= 2 ? 1 : 3;
        headers.append({id, packet.mid(pos + valueStart, size - valueStart)});
        pos += size;
    }
    return headers;
}

std::optional<QByteArray> headerValue(const QByteArray &packet, std::uint8_t id, int offset)
{
    for (const ObexHeader &header : parseHeaders(packet, offset)) {
        if (header.id == id)
            return header.value;
    }
    return std::nullopt;
}

PhoneLine::~PhoneLine()
{
    close();
}

bool PhoneLine::open(const QString &device)
{
    close();
    m_fd = ::open(device.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (m_fd < 0)
        return false;
    struct termios settings
    {};
    ::tcgetattr(m_fd, &settings);
    ::cfmakeraw(&settings);
    ::cfsetspeed(&settings, B57600);
    ::tcsetattr(m_fd, TCSANOW, &settings);
    m_buffer.clear();
    sequence = 1;
    return true;
}

bool PhoneLine::setBaud(unsigned baud)
{
    const speed_t speed = baud == 19200 ? B19200 : baud == 38400 ? B38400 : baud == 115200 ? B115200 : B57600;
    struct termios settings
    {};
    return ::tcgetattr(m_fd, &settings) == 0 && ::cfsetspeed(&settings, speed) == 0
        && ::tcsetattr(m_fd, TCSANOW, &settings) == 0;
}

void PhoneLine::close()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

bool PhoneLine::write(const QByteArray &bytes)
{
    qsizetype done = 0;
    QDeadlineTimer deadline(3000);
    while (done < bytes.size()) {
        ssize_t n = ::write(m_fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n > 0) {
            done += n;
        } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
            return false;
        } else {
            if (deadline.hasExpired())
                return false;
            struct pollfd fd = {m_fd, POLLOUT, 0};
            ::poll(&fd, 1, 50);
        }
    }
    return true;
}

bool PhoneLine::fill(int size, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (m_buffer.size() < size) {
        struct pollfd fd = {m_fd, POLLIN, 0};
        int left = int(deadline.remainingTime());
        if (left <= 0 || ::poll(&fd, 1, left) <= 0)
            return false;
        char chunk[4096];
        ssize_t n = ::read(m_fd, chunk, sizeof chunk);
        if (n > 0)
            m_buffer.append(chunk, n);
    }
    return true;
}

QByteArray PhoneLine::take(int size)
{
    QByteArray out = m_buffer.left(size);
    m_buffer.remove(0, out.size());
    return out;
}

QByteArray PhoneLine::readQuiet(int quietMs, int totalMs)
{
    QDeadlineTimer total(totalMs);
    while (!total.hasExpired()) {
        const int before = int(m_buffer.size());
        fill(before + 1, std::min<int>(quietMs, int(total.remainingTime())));
        if (m_buffer.size() == before)
            break;
    }
    return take(int(m_buffer.size()));
}

QByteArray PhoneLine::readBytes(int size, int timeoutMs)
{
    fill(size, timeoutMs);
    return take(size);
}

QByteArray PhoneLine::at(const QByteArray &command, int timeoutMs)
{
    write(command + "\r\n");
    QDeadlineTimer deadline(timeoutMs);
    while (!m_buffer.endsWith("\r\nOK\r\n") && !m_buffer.endsWith("\r\nERROR\r\n")) {
        if (!fill(int(m_buffer.size()) + 1, int(deadline.remainingTime())))
            break;
    }
    return take(int(m_buffer.size()));
}

bool PhoneLine::startBfb()
{
    if (!at("at").contains("OK") || !at("at+CGMM").contains("OK") || !at("AT^SBFB=1").contains("OK")) {
        lastError = QStringLiteral("AT dialogue failed");
        return false;
    }
    write(QByteArray::fromHex("0201030C"));
    QByteArray first = readBytes(4, 2000);
    write(QByteArray::fromHex("010908C03537363030CA89CF"));
    QByteArray speed = readQuiet(100, 2000);
    write(QByteArray::fromHex("06080E61745E736966730D"));
    QByteArray sifs = readQuiet(100, 2000);
    if (first.size() < 4 || !speed.contains("57600") || !sifs.contains("OK")) {
        lastError = QStringLiteral("BFB set-up failed");
        return false;
    }
    sequence = 1;
    lastPhoneSequence.reset();
    return true;
}

bool PhoneLine::connect(unsigned maxPacket)
{
    if (!startBfb())
        return false;
    QByteArray rest = QByteArray::fromHex("1000");
    rest.append(char(maxPacket >> 8));
    rest.append(char(maxPacket & 0xFF));
    rest += header(0x46, QByteArray::fromHex("6B01CB31410611D49A770050DA3F471F"));
    const QByteArray connectPacket = packet(0x80, rest);
    write(dataFrames(dataBlock(0x02, 0x00, connectPacket)));
    Reply ack = readReply();
    Reply answer = readReply();
    if (ack.kind != ReplyKind::Ack || answer.kind != ReplyKind::Block || answer.packet.isEmpty()) {
        lastError = QStringLiteral("no CONNECT answer");
        return false;
    }
    sendAck();
    lastPhoneSequence = answer.sequence;
    return quint8(answer.packet[0]) == 0xA0;
}

QByteArray PhoneLine::frame(std::uint8_t type, const QByteArray &payload)
{
    QByteArray out;
    out.append(char(type));
    out.append(char(payload.size()));
    out.append(char(type ^ quint8(payload.size())));
    return out + payload;
}

QByteArray PhoneLine::dataBlock(std::uint8_t command, std::uint8_t sequence, const QByteArray &packet)
{
    QByteArray covered;
    covered.append(char(sequence));
    covered.append(char(packet.size() >> 8));
    covered.append(char(packet.size() & 0xFF));
    covered += packet;
    const quint16 crc = testCrc(covered);
    QByteArray block;
    block.append(char(command));
    block.append(char(~command));
    block += covered;
    block.append(char(crc & 0xFF));
    block.append(char(crc >> 8));
    return block;
}

QByteArray PhoneLine::dataFrames(const QByteArray &block, int frameSize)
{
    QByteArray out;
    for (qsizetype pos = 0; pos < block.size(); pos += frameSize)
        out += frame(0x16, block.mid(pos, frameSize));
    return out;
}

PhoneLine::Reply PhoneLine::readReply(int timeoutMs)
{
    Reply reply;
    auto readFrame = [&](QByteArray &payload) -> bool {
        if (!fill(3, timeoutMs)) {
            reply.kind = ReplyKind::Timeout;
            reply.raw += take(int(m_buffer.size()));
            return false;
        }
        if (quint8(m_buffer[0]) != 0x16) {
            reply.kind = ReplyKind::BadFrame;
            reply.raw += take(int(m_buffer.size()));
            return false;
        }
        const int size = quint8(m_buffer[1]);
        if (!fill(3 + size, timeoutMs)) {
            reply.kind = ReplyKind::Timeout;
            reply.raw += take(int(m_buffer.size()));
            return false;
        }
        QByteArray whole = take(3 + size);
        reply.raw += whole;
        reply.frameSizes << size;
        payload = whole.mid(3);
        return true;
    };
    QByteArray block;
    if (!readFrame(block))
        return reply;
    if (!block.isEmpty() && quint8(block[0]) == 0x01) {
        reply.kind = ReplyKind::Ack;
        return reply;
    }
    while (block.size() < 5 || block.size() < 7 + ((quint8(block[3]) << 8) | quint8(block[4]))) {
        QByteArray more;
        if (!readFrame(more))
            return reply;
        block += more;
    }
    const int size = (quint8(block[3]) << 8) | quint8(block[4]);
    if (block.size() != size + 7) {
        reply.kind = ReplyKind::BadFrame;
        return reply;
    }
    reply.kind = ReplyKind::Block;
    reply.command = quint8(block[0]);
    reply.sequence = quint8(block[2]);
    reply.packet = block.mid(5, size);
    const quint16 crc = quint8(block[size + 5]) | (quint8(block[size + 6]) << 8);
    reply.crcOk = crc == testCrc(block.mid(2, size + 3)) && quint8(block[1]) == quint8(~block[0]);
    return reply;
}

void PhoneLine::sendAck()
{
    write(QByteArray::fromHex("16021401FE"));
}

void PhoneLine::sendPacket(const QByteArray &packet, int frameSize)
{
    write(dataFrames(dataBlock(0x03, sequence, packet), frameSize));
    sequence = std::uint8_t(sequence + 1);
}

std::optional<QByteArray> PhoneLine::takeBlock(const Reply &reply, Recovery &recovery)
{
    if (!reply.crcOk) {
        ++recovery.badBlocks;
        return std::nullopt;
    }
    sendAck();
    if (lastPhoneSequence == reply.sequence) {
        ++recovery.repeats;
        return std::nullopt;
    }
    lastPhoneSequence = reply.sequence;
    return reply.packet;
}

QByteArray PhoneLine::recoveringRequest(const QByteArray &packet, Recovery &recovery, int ackWaitMs)
{
    const QByteArray frames = dataFrames(dataBlock(0x03, sequence, packet));
    sequence = std::uint8_t(sequence + 1);
    std::optional<QByteArray> response;
    bool acknowledged = false;
    for (int tries = 0; !acknowledged && tries < 4; ++tries) {
        if (tries > 0)
            ++recovery.resends;
        write(frames);
        QDeadlineTimer deadline(ackWaitMs);
        while (!acknowledged && !deadline.hasExpired()) {
            const Reply reply = readReply(int(deadline.remainingTime()));
            if (reply.kind == ReplyKind::Ack)
                acknowledged = true;
            else if (reply.kind == ReplyKind::Block && !response)
                response = takeBlock(reply, recovery); // its acknowledgement was lost
            else if (reply.kind == ReplyKind::Block)
                takeBlock(reply, recovery);
        }
    }
    QDeadlineTimer deadline(5000);
    while (acknowledged && !response && !deadline.hasExpired()) {
        const Reply reply = readReply(int(deadline.remainingTime()));
        if (reply.kind == ReplyKind::Block)
            response = takeBlock(reply, recovery);
    }
    if (!response)
        lastError = QStringLiteral("no response after %1 resends").arg(recovery.resends);
    return response.value_or(QByteArray());
}

void PhoneLine::acknowledgeRepeats(Recovery &recovery, int waitMs)
{
    QDeadlineTimer deadline(waitMs);
    while (!deadline.hasExpired()) {
        const Reply reply = readReply(int(deadline.remainingTime()));
        if (reply.kind == ReplyKind::Block)
            takeBlock(reply, recovery);
    }
}

QByteArray PhoneLine::request(const QByteArray &packet, int frameSize)
{
    sendPacket(packet, frameSize);
    Reply ack = readReply();
    if (ack.kind != ReplyKind::Ack) {
        lastError = QStringLiteral("no link acknowledgement: ") + QString::fromLatin1(ack.raw.toHex(' '));
        return {};
    }
    Reply answer = readReply();
    if (answer.kind != ReplyKind::Block || !answer.crcOk || answer.packet.size() < 3) {
        lastError = QStringLiteral("no good response block: ") + QString::fromLatin1(answer.raw.toHex(' '));
        return {};
    }
    sendAck();
    lastPhoneSequence = answer.sequence;
    return answer.packet;
}

QByteArray PhoneLine::getAll(const QByteArray &firstRequest, QList<QByteArray> *responses, int frameSize)
{
    QByteArray data;
    QByteArray response = request(firstRequest, frameSize);
    for (;;) {
        if (response.isEmpty())
            return {};
        if (responses)
            responses->append(response);
        for (const ObexHeader &header : parseHeaders(response)) {
            if (header.id == 0x48 || header.id == 0x49)
                data += header.value;
        }
        if (quint8(response[0]) != 0x90)
            return data;
        response = request(QByteArray::fromHex("830003"), frameSize);
    }
}

QByteArray PhoneLine::packet(std::uint8_t opcode, const QByteArray &rest)
{
    QByteArray out;
    out.append(char(opcode));
    const qsizetype size = rest.size() + 3;
    out.append(char(size >> 8));
    out.append(char(size & 0xFF));
    return out + rest;
}

QByteArray PhoneLine::header(std::uint8_t id, const QByteArray &value)
{
    QByteArray out;
    out.append(char(id));
    const qsizetype size = value.size() + 3;
    out.append(char(size >> 8));
    out.append(char(size & 0xFF));
    return out + value;
}

QByteArray PhoneLine::lengthHeader(quint32 length)
{
    QByteArray out;
    out.append(char(0xC3));
    for (int shift = 24; shift >= 0; shift -= 8)
        out.append(char((length >> shift) & 0xFF));
    return out;
}

QByteArray PhoneLine::setPath(std::uint8_t flags, const std::optional<QString> &name)
{
    QByteArray rest;
    rest.append(char(flags));
    rest.append('\0');
    if (name)
        rest += nameHeader(*name);
    return request(packet(0x85, rest));
}

QByteArray PhoneLine::listing(QList<QByteArray> *responses)
{
    return getAll(packet(0x83, header(0x42, QByteArrayLiteral("x-obex/folder-listing") + '\0')), responses);
}

QByteArray PhoneLine::getFile(const QString &name, QList<QByteArray> *responses)
{
    return getAll(packet(0x83, nameHeader(name)), responses);
}

std::optional<quint32> PhoneLine::memory(std::uint8_t which)
{
    QByteArray response = request(QByteArray::fromHex("8300094C00063201") + char(which));
    if (response.size() < 12 || quint8(response[0]) != 0xA0)
        return std::nullopt;
    // The program reads the figure from the bytes at offsets 9 to 11.
    return (quint32(quint8(response[8])) << 24) | (quint8(response[9]) << 16) | (quint8(response[10]) << 8)
        | quint8(response[11]);
}

QByteArray PhoneLine::uploadLikeProgram(const QString &name, const QByteArray &content, QList<QByteArray> *responses)
{
    QByteArray staging;
    for (qsizetype pos = 0; pos + 497 <= content.size(); pos += 497)
        staging += content.mid(pos, 497) + QByteArray(3, '\0');
    staging += content.mid(content.size() - content.size() % 497) + QByteArray(3, '\0');
    const auto total = quint32(staging.size());
    auto bodyPacket = [](std::uint8_t opcode, const QByteArray &prefix, const QByteArray &record) {
        QByteArray body;
        body.append(char(0x48));
        body.append(char(record.size() >> 8));
        body.append(char(record.size() & 0xFF));
        return packet(opcode, prefix + body + record);
    };
    auto exchange = [&](const QByteArray &request) {
        QByteArray response = this->request(request);
        if (responses)
            responses->append(response);
        return response;
    };
    const QByteArray continueResponse = QByteArray::fromHex("900003");
    qsizetype pos = std::min<qsizetype>(500, staging.size());
    QByteArray response = exchange(bodyPacket(0x02, nameHeader(name) + lengthHeader(total), staging.left(pos)));
    if (total > 500) {
        while (response == continueResponse && staging.size() - pos > 500) {
            response = exchange(bodyPacket(0x02, {}, staging.mid(pos, 500)));
            pos += 500;
        }
        if (response != continueResponse)
            return response;
        response = exchange(bodyPacket(0x02, {}, staging.mid(pos)));
    }
    return exchange(QByteArray::fromHex("820006490003"));
}

QByteArray PhoneLine::remove(const QString &name)
{
    return request(packet(0x82, nameHeader(name)));
}

QByteArray PhoneLine::movePacket(const QString &from, const QString &to)
{
    auto parameter = [](char tag, const QByteArray &value) { return QByteArray(1, tag) + char(value.size()) + value; };
    auto utf16 = [](const QString &path) { return utf16NameValue(path).chopped(2); };
    const QByteArray params = parameter(0x34, "move") + parameter(0x35, utf16(from)) + parameter(0x36, utf16(to));
    return packet(0x82, header(0x4C, params));
}
