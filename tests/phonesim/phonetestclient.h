#pragma once

// Test side of the cable: starts the emulated phone and talks to it with the tests' own
// BFB and OBEX code (nothing here comes from the phone or the program), so that a fault
// on either side shows up as a disagreement.

#include "testprocess.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <cstdint>
#include <optional>

// The emulated phone as a child process, serving a folder with a log beside it.
class PhoneSimProcess : public PhoneSim
{
public:
    // root empty: the phone makes its own demo folder.
    bool start(const QString &root, const QStringList &extra = {});
    // SIGTERM and wait; returns the exit code, or -1 when it had to be killed.
    int stop();
    // Waits until the count-th log line starting with prefix appears.
    bool waitForLog(const QString &prefix, int count = 1, int timeoutMs = 3000) const;

    QTemporaryDir logDir;
};

// Windows-1251 bytes for the letters the tests use (ASCII, Russian letters, Ё/ё).
QByteArray toCp1251(const QString &text);
// The value of the first header with this id in a response packet (headers from offset).
std::optional<QByteArray> headerValue(const QByteArray &packet, std::uint8_t id, int offset = 3);

class PhoneLine
{
public:
    PhoneLine() = default;
    PhoneLine(const PhoneLine &) = delete;
    PhoneLine &operator=(const PhoneLine &) = delete;
    ~PhoneLine() { close(); }

    bool open(const QString &device);
    void close();
    // The speed of this end of the line, as a client sets its port.
    bool setBaud(unsigned baud);

    bool write(const QByteArray &bytes);
    // Everything that arrives until the line has been quiet for quietMs (at most totalMs).
    QByteArray readQuiet(int quietMs = 150, int totalMs = 3000);
    // Exactly size bytes, or what arrived before timeoutMs.
    QByteArray readBytes(int size, int timeoutMs = 3000);

    // AT dialogue: writes command CR LF and returns what came back until a final result.
    QByteArray at(const QByteArray &command, int timeoutMs = 2000);
    // The program's handshake: at, at+CGMM, AT^SBFB=1, three set-up frames.
    bool startBfb();
    // BFB start-up and a CONNECT; true when answered with 0xA0.
    bool connect();

    static QByteArray frame(std::uint8_t type, const QByteArray &payload);

    enum class ReplyKind {
        Ack,
        Block,
        Timeout,
        BadFrame
    };
    struct Reply
    {
        ReplyKind kind = ReplyKind::Timeout;
        QByteArray packet; // the OBEX packet of a block
        bool crcOk = false;
        QList<int> frameSizes; // payload sizes of the frames the block came in
        QByteArray raw; // every byte read for this reply
    };
    Reply readReply(int timeoutMs = 3000);
    void sendAck();
    // Sends an OBEX packet in a data block (next sequence number, 32-byte frames).
    void sendPacket(const QByteArray &packet);

    // One exchange: packet, link acknowledgement, response, acknowledgement of it.
    // Returns the response packet (empty on any failure, with the reason in lastError).
    QByteArray request(const QByteArray &packet);
    // A GET followed through its 0x90 responses; returns the Body and End-of-Body data.
    QByteArray getAll(const QByteArray &firstRequest, QList<QByteArray> *responses = nullptr);

    static QByteArray packet(std::uint8_t opcode, const QByteArray &rest);
    static QByteArray header(std::uint8_t id, const QByteArray &value);
    // As the program sends it: 00 b for each Windows-1251 byte, then 00 00.
    static QByteArray nameHeader(const QString &name);
    static QByteArray lengthHeader(quint32 length);

    QByteArray setPath(std::uint8_t flags, const std::optional<QString> &name);
    QByteArray listing();
    QByteArray getFile(const QString &name, QList<QByteArray> *responses = nullptr);
    // Upload exactly as the program stages it: 497-byte pieces, each followed by three
    // zero bytes, Body lengths counting only the piece; then the empty End-of-Body.
    QByteArray uploadLikeProgram(const QString &name, const QByteArray &content,
                                 QList<QByteArray> *responses = nullptr);
    QByteArray remove(const QString &name);
    // The move command as SieFS sends it: paths from the root in UTF-16.
    static QByteArray movePacket(const QString &from, const QString &to);

    QString lastError;

private:
    bool fill(qsizetype size, int timeoutMs);
    QByteArray take(qsizetype size);

    int m_fd = -1;
    QByteArray m_buffer;
    std::uint8_t m_sequence = 1;
};

// The first byte of a response: its code; 0 for none.
inline quint8 code(const QByteArray &response)
{
    return response.isEmpty() ? 0 : quint8(response[0]);
}

// The emulated phone serving a fresh folder, and a line to it.
struct SimSession
{
    QTemporaryDir root;
    PhoneSimProcess sim;
    PhoneLine line;

    // Starts the phone with the options and opens the line; connects unless told not to.
    bool start(const QStringList &options = {}, bool connect = true)
    {
        if (!root.isValid() || !sim.start(root.path(), options) || !line.open(sim.device))
            return false;
        return !connect || line.connect();
    }
    QString path(const QString &relative) const { return root.filePath(relative); }
};
