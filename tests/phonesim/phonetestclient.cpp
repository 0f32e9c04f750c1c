#include "phonetestclient.h"

#include <QDeadlineTimer>
#include <QThread>

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {

// Bitwise CRC-16/X-25, written without a table on purpose.
quint16 crc16(const QByteArray &data)
{
    quint16 crc = 0xFFFF;
    for (const char c : data) {
        crc ^= quint8(c);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? quint16((crc >> 1) ^ 0x8408) : quint16(crc >> 1);
    }
    return quint16(~crc);
}

QByteArray bigEndian16(qsizetype value)
{
    return QByteArray(1, char(value >> 8)) + char(value & 0xFF);
}

// Command, complement, sequence number, length, packet, CRC low byte first.
QByteArray dataBlock(char command, std::uint8_t sequence, const QByteArray &packet)
{
    const QByteArray covered = char(sequence) + bigEndian16(packet.size()) + packet;
    const quint16 crc = crc16(covered);
    return QByteArray(1, command) + char(~command) + covered + char(crc & 0xFF) + char(crc >> 8);
}

// A block in data frames of at most 32 payload bytes.
QByteArray dataFrames(const QByteArray &block)
{
    QByteArray out;
    for (qsizetype pos = 0; pos < block.size(); pos += 32)
        out += PhoneLine::frame(0x16, block.mid(pos, 32));
    return out;
}

const QByteArray ContinueResponse = QByteArray::fromHex("900003");

} // namespace

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
    for (const QChar c : text) {
        const ushort u = c.unicode();
        out += u < 0x80                  ? char(u)
            : u >= 0x0410 && u <= 0x044F ? char(0xC0 + (u - 0x0410))
            : u == 0x0401                ? char(0xA8)
            : u == 0x0451                ? char(0xB8)
                                         : '?';
    }
    return out;
}

std::optional<QByteArray> headerValue(const QByteArray &packet, std::uint8_t id, int offset)
{
    for (qsizetype pos = offset; pos < packet.size();) {
        const auto headerId = std::uint8_t(packet[pos]);
        // Two high bits: 0 and 1 carry a length, 2 one byte, 3 four bytes.
        const int kind = headerId >> 6;
        const qsizetype size = kind == 2 ? 2
            : kind == 3                  ? 5
            : pos + 3 <= packet.size()   ? (quint8(packet[pos + 1]) << 8) | quint8(packet[pos + 2])
                                         : 0;
        if (size < 2 || pos + size > packet.size())
            break;
        const int valueStart = kind >= 2 ? 1 : 3;
        if (headerId == id)
            return packet.mid(pos + valueStart, size - valueStart);
        pos += size;
    }
    return std::nullopt;
}

bool PhoneLine::open(const QString &device)
{
    close();
    m_fd = ::open(device.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (m_fd < 0)
        return false;
    termios settings{};
    ::tcgetattr(m_fd, &settings);
    ::cfmakeraw(&settings);
    ::cfsetspeed(&settings, B57600);
    ::tcsetattr(m_fd, TCSANOW, &settings);
    m_buffer.clear();
    m_sequence = 1;
    return true;
}

void PhoneLine::close()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

bool PhoneLine::setBaud(unsigned baud)
{
    const speed_t speed = baud == 19200 ? B19200 : baud == 38400 ? B38400 : baud == 115200 ? B115200 : B57600;
    termios settings{};
    return ::tcgetattr(m_fd, &settings) == 0 && ::cfsetspeed(&settings, speed) == 0
        && ::tcsetattr(m_fd, TCSANOW, &settings) == 0;
}

bool PhoneLine::write(const QByteArray &bytes)
{
    qsizetype done = 0;
    QDeadlineTimer deadline(3000);
    while (done < bytes.size()) {
        const ssize_t n = ::write(m_fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n > 0) {
            done += n;
        } else if ((n < 0 && errno != EAGAIN && errno != EINTR) || deadline.hasExpired()) {
            return false;
        } else {
            pollfd fd = {m_fd, POLLOUT, 0};
            ::poll(&fd, 1, 50);
        }
    }
    return true;
}

bool PhoneLine::fill(qsizetype size, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (m_buffer.size() < size) {
        pollfd fd = {m_fd, POLLIN, 0};
        const int left = int(deadline.remainingTime());
        if (left <= 0 || ::poll(&fd, 1, left) <= 0)
            return false;
        char chunk[4096];
        const ssize_t n = ::read(m_fd, chunk, sizeof chunk);
        if (n > 0)
            m_buffer.append(chunk, n);
    }
    return true;
}

QByteArray PhoneLine::take(qsizetype size)
{
    const QByteArray out = m_buffer.left(size);
    m_buffer.remove(0, out.size());
    return out;
}

QByteArray PhoneLine::readQuiet(int quietMs, int totalMs)
{
    QDeadlineTimer total(totalMs);
    while (!total.hasExpired() && fill(m_buffer.size() + 1, std::min<int>(quietMs, int(total.remainingTime())))) {
    }
    return take(m_buffer.size());
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
    while (!m_buffer.endsWith("\r\nOK\r\n") && !m_buffer.endsWith("\r\nERROR\r\n")
           && fill(m_buffer.size() + 1, int(deadline.remainingTime()))) {
    }
    return take(m_buffer.size());
}

bool PhoneLine::startBfb()
{
    if (!at("at").contains("OK") || !at("at+CGMM").contains("OK") || !at("AT^SBFB=1").contains("OK")) {
        lastError = QStringLiteral("AT dialogue failed");
        return false;
    }
    write(QByteArray::fromHex("0201030C"));
    const QByteArray first = readBytes(4, 2000);
    write(QByteArray::fromHex("010908C03537363030CA89CF"));
    const QByteArray speed = readQuiet(100, 2000);
    write(QByteArray::fromHex("06080E61745E736966730D"));
    const QByteArray sifs = readQuiet(100, 2000);
    if (first.size() < 4 || !speed.contains("57600") || !sifs.contains("OK")) {
        lastError = QStringLiteral("BFB set-up failed");
        return false;
    }
    m_sequence = 1;
    return true;
}

bool PhoneLine::connect()
{
    if (!startBfb())
        return false;
    const QByteArray target = QByteArray::fromHex("6B01CB31410611D49A770050DA3F471F");
    write(dataFrames(dataBlock(0x02, 0x00, packet(0x80, QByteArray::fromHex("10004006") + header(0x46, target)))));
    const Reply ack = readReply();
    const Reply answer = readReply();
    if (ack.kind != ReplyKind::Ack || answer.kind != ReplyKind::Block || answer.packet.isEmpty()) {
        lastError = QStringLiteral("no CONNECT answer");
        return false;
    }
    sendAck();
    return code(answer.packet) == 0xA0;
}

QByteArray PhoneLine::frame(std::uint8_t type, const QByteArray &payload)
{
    return QByteArray(1, char(type)) + char(payload.size()) + char(type ^ quint8(payload.size())) + payload;
}

PhoneLine::Reply PhoneLine::readReply(int timeoutMs)
{
    Reply reply;
    QByteArray block;
    for (;;) {
        const bool started = fill(3, timeoutMs);
        if (started && quint8(m_buffer[0]) != 0x16)
            reply.kind = ReplyKind::BadFrame;
        if (!started || reply.kind == ReplyKind::BadFrame || !fill(3 + quint8(m_buffer[1]), timeoutMs)) {
            reply.raw += take(m_buffer.size());
            return reply;
        }
        const QByteArray whole = take(3 + quint8(m_buffer[1]));
        reply.raw += whole;
        reply.frameSizes << int(whole.size() - 3);
        block += whole.mid(3);
        if (reply.frameSizes.size() == 1 && block.startsWith('\x01')) {
            reply.kind = ReplyKind::Ack;
            return reply;
        }
        const int length = block.size() >= 5 ? (quint8(block[3]) << 8) | quint8(block[4]) : 0;
        if (block.size() < 5 || block.size() < length + 7)
            continue;
        reply.kind = block.size() == length + 7 ? ReplyKind::Block : ReplyKind::BadFrame;
        reply.packet = block.mid(5, length);
        reply.crcOk = block == dataBlock(block[0], quint8(block[2]), reply.packet);
        return reply;
    }
}

void PhoneLine::sendAck()
{
    write(QByteArray::fromHex("16021401FE"));
}

void PhoneLine::sendPacket(const QByteArray &packet)
{
    write(dataFrames(dataBlock(0x03, m_sequence++, packet)));
}

QByteArray PhoneLine::request(const QByteArray &packet)
{
    sendPacket(packet);
    const Reply ack = readReply();
    const Reply answer = ack.kind == ReplyKind::Ack ? readReply() : Reply();
    if (answer.kind != ReplyKind::Block || !answer.crcOk || answer.packet.size() < 3) {
        lastError =
            QStringLiteral("no acknowledged good response: ") + QString::fromLatin1((ack.raw + answer.raw).toHex(' '));
        return {};
    }
    sendAck();
    return answer.packet;
}

QByteArray PhoneLine::getAll(const QByteArray &firstRequest, QList<QByteArray> *responses)
{
    QByteArray data;
    for (QByteArray response = request(firstRequest);; response = request(QByteArray::fromHex("830003"))) {
        if (response.isEmpty())
            return {};
        if (responses)
            responses->append(response);
        data += headerValue(response, 0x48).value_or(QByteArray()) + headerValue(response, 0x49).value_or(QByteArray());
        if (code(response) != 0x90)
            return data;
    }
}

QByteArray PhoneLine::packet(std::uint8_t opcode, const QByteArray &rest)
{
    return char(opcode) + bigEndian16(rest.size() + 3) + rest;
}

QByteArray PhoneLine::header(std::uint8_t id, const QByteArray &value)
{
    return char(id) + bigEndian16(value.size() + 3) + value;
}

QByteArray PhoneLine::nameHeader(const QString &name)
{
    QByteArray value;
    for (const char byte : toCp1251(name))
        value += QByteArray(1, '\0') + byte;
    return header(0x01, value + QByteArray(2, '\0'));
}

QByteArray PhoneLine::lengthHeader(quint32 length)
{
    return QByteArray(1, char(0xC3)) + bigEndian16(length >> 16) + bigEndian16(length & 0xFFFF);
}

QByteArray PhoneLine::setPath(std::uint8_t flags, const std::optional<QString> &name)
{
    return request(packet(0x85, char(flags) + QByteArray(1, '\0') + (name ? nameHeader(*name) : QByteArray())));
}

QByteArray PhoneLine::listing()
{
    return getAll(packet(0x83, header(0x42, QByteArrayLiteral("x-obex/folder-listing") + '\0')));
}

QByteArray PhoneLine::getFile(const QString &name, QList<QByteArray> *responses)
{
    return getAll(packet(0x83, nameHeader(name)), responses);
}

QByteArray PhoneLine::uploadLikeProgram(const QString &name, const QByteArray &content, QList<QByteArray> *responses)
{
    QByteArray staging;
    for (qsizetype pos = 0; pos <= content.size(); pos += 497)
        staging += content.mid(pos, 497) + QByteArray(3, '\0');
    auto exchange = [&](const QByteArray &request) {
        const QByteArray response = this->request(request);
        if (responses)
            responses->append(response);
        return response;
    };
    // Records of 500 bytes, the first behind the Name and the Length; the phone must
    // answer Continue to all but the last.
    for (qsizetype pos = 0; pos < staging.size(); pos += 500) {
        const QByteArray record = staging.mid(pos, 500);
        const QByteArray first = pos == 0 ? nameHeader(name) + lengthHeader(quint32(staging.size())) : QByteArray();
        const QByteArray response = exchange(packet(0x02, first + char(0x48) + bigEndian16(record.size()) + record));
        if (pos + 500 < staging.size() && response != ContinueResponse)
            return response;
    }
    return exchange(QByteArray::fromHex("820006490003"));
}

QByteArray PhoneLine::remove(const QString &name)
{
    return request(packet(0x82, nameHeader(name)));
}

QByteArray PhoneLine::movePacket(const QString &from, const QString &to)
{
    auto parameter = [](char tag, const QString &path) {
        QByteArray utf16;
        for (const QChar c : path)
            utf16 += bigEndian16(c.unicode());
        return tag + QByteArray(1, char(utf16.size())) + utf16;
    };
    return packet(0x82, header(0x4C, QByteArray("\x34\x04move") + parameter(0x35, from) + parameter(0x36, to)));
}
