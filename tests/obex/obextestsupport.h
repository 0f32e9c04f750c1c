#pragma once

// Shared pieces of the file-exchange tests: a recording PhoneUi whose endProgram
// throws, a reference checksum, and a phone on a pseudo-terminal that speaks BFB
// and answers every data block with the next prepared OBEX response.

#include "checksum.h"
#include "phonefiles.h"
#include "phonelink.h"
#include "phoneui.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <deque>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <stdexcept>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

struct ProgramEnded
{
    int status;
};

class RecordingUi : public PhoneUi
{
public:
    struct Message
    {
        Icon icon;
        QString title;
        QString text;
    };

    QList<Message> messages;
    QList<QPair<QString, int>> rows;
    QStringList questions;
    std::deque<bool> answers;     // answers to askYesNo, "yes" when none is left
    bool progressOpen = false;
    int progressMaximum = 0;
    int progressValueNow = 0;
    bool mainEnabled = true;
    int mainEnabledChanges = 0;
    QString sequenceText;
    QString totalMemoryText;
    QString freeMemoryText;

    void progressLoad() override {}
    void progressShow() override
    {
        if (!progressOpen)
            progressValueNow = 1;
        progressOpen = true;
    }
    bool progressIsOpen() const override { return progressOpen; }
    void progressSetMaximum(int maximum) override { progressMaximum = maximum; }
    void progressSetValue(int value) override { progressValueNow = value; }
    int progressValue() const override { return progressValueNow; }
    void progressAddRow(const QString &text, int icon) override { rows.append({text, icon}); }
    void progressRepaint() override {}
    void progressShowCloseButton() override {}
    void progressFocus() override {}
    void progressClose() override { progressOpen = false; }
    void setMainWindowEnabled(bool enabled) override
    {
        mainEnabled = enabled;
        ++mainEnabledChanges;
    }
    void setMainWindowVisible(bool) override {}
    void setWaitingBytesText(const QString &) override {}
    void setSequenceText(const QString &text) override { sequenceText = text; }
    void setTotalMemoryText(const QString &text) override { totalMemoryText = text; }
    void setFreeMemoryText(const QString &text) override { freeMemoryText = text; }
    void connectionEstablished() override {}
    void showMessage(Icon icon, const QString &title, const QString &text) override
    {
        messages.append({icon, title, text});
    }
    bool askYesNo(Icon, const QString &title, const QString &text) override
    {
        questions << title + u'|' + text;
        if (answers.empty())
            return true;
        const bool answer = answers.front();
        answers.pop_front();
        return answer;
    }
    [[noreturn]] void endProgram(int exitStatus) override { throw ProgramEnded{exitStatus}; }

    QStringList rowTexts() const
    {
        QStringList texts;
        for (const auto &row : rows)
            texts << row.first;
        return texts;
    }
};

// CRC-16/X-25 and the 16-bit XOR, written independently of the component.
class ReferenceChecksum : public Checksum
{
public:
    quint16 CrcCalc(const QByteArray &data) override
    {
        quint16 crc = 0xFFFF;
        for (const char c : data) {
            crc ^= quint8(c);
            for (int bit = 0; bit < 8; ++bit)
                crc = (crc & 1) ? quint16((crc >> 1) ^ 0x8408) : quint16(crc >> 1);
        }
        return quint16(~crc);
    }
    qint16 Xor(qint16 byte1, qint16 byte2) override { return qint16(byte1 ^ byte2); }
};

inline QByteArray hex(const char *text)
{
    return QByteArray::fromHex(QByteArray(text).replace(' ', ""));
}

// The phone end of a pseudo-terminal, on its own thread. Every complete data block
// from the program is recorded and answered as its step says: by default the link
// acknowledgement followed by the next prepared response block.
class BfbPhone
{
public:
    enum class Answer {
        Respond,      // link acknowledgement, then the response block
        AckOnly,      // link acknowledgement only
        NoAck,        // the response block in place of the link acknowledgement
    };
    struct Step
    {
        Answer answer;
        QByteArray response;
    };

    BfbPhone()
    {
        master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0)
            throw std::runtime_error("no pseudo-terminal");
        char name[128];
        if (::ptsname_r(master, name, sizeof name) != 0)
            throw std::runtime_error("no pseudo-terminal name");
        slave = QString::fromLocal8Bit(name);
        termios tio{};
        ::tcgetattr(master, &tio);
        ::cfmakeraw(&tio);
        ::tcsetattr(master, TCSANOW, &tio);
        // Keeps the master from seeing a hang-up before and after the program's port is open.
        keeper = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
        thread = std::thread([this] { serve(); });
    }
    ~BfbPhone()
    {
        stop = true;
        thread.join();
        ::close(keeper);
        ::close(master);
    }
    BfbPhone(const BfbPhone &) = delete;
    BfbPhone &operator=(const BfbPhone &) = delete;

    QString devicePath() const { return slave; }

    void respond(const QByteArray &response) { add({Answer::Respond, response}); }
    void respond(const char *hexResponse) { respond(hex(hexResponse)); }
    void ackOnly() { add({Answer::AckOnly, {}}); }
    void refuseLink(const QByteArray &response) { add({Answer::NoAck, response}); }

    // Everything the program wrote, in order.
    QByteArray received() const
    {
        std::lock_guard lock(mutex);
        return raw;
    }
    // Complete data blocks (header, packet, CRC), reassembled from the frames.
    QList<QByteArray> blocks() const
    {
        std::lock_guard lock(mutex);
        return dataBlocks;
    }
    int acknowledgements() const
    {
        std::lock_guard lock(mutex);
        return acks;
    }
    int unansweredSteps() const
    {
        std::lock_guard lock(mutex);
        return int(steps.size());
    }
    // Waits until the program's writes have arrived (they are asynchronous).
    void settle(int quietMs = 100) const
    {
        QByteArray last = received();
        for (;;) {
            std::this_thread::sleep_for(std::chrono::milliseconds(quietMs));
            const QByteArray now = received();
            if (now == last)
                return;
            last = now;
        }
    }

    // A response data block as the phone frames it, in frames of `framePayload` bytes.
    static QByteArray framed(const QByteArray &packet, int sequence, int framePayload = 32)
    {
        ReferenceChecksum crc;
        QByteArray covered;
        covered.append(char(sequence));
        covered.append(char(packet.size() >> 8));
        covered.append(char(packet.size() & 0xFF));
        covered.append(packet);
        const quint16 c = crc.CrcCalc(covered);
        QByteArray block = QByteArray("\x03\xFC", 2) + covered;
        block.append(char(c & 0xFF));
        block.append(char(c >> 8));
        // A last frame holding only the last CRC byte is not read by the program;
        // phones never send one, so neither does this one.
        QByteArray frames;
        for (qsizetype offset = 0; offset < block.size();) {
            qsizetype size = std::min<qsizetype>(framePayload, block.size() - offset);
            if (block.size() - offset - size == 1)
                --size;
            const QByteArray piece = block.mid(offset, size);
            offset += size;
            frames.append(char(0x16));
            frames.append(char(piece.size()));
            frames.append(char(0x16 ^ piece.size()));
            frames.append(piece);
        }
        return frames;
    }

private:
    void add(const Step &step)
    {
        std::lock_guard lock(mutex);
        steps.push_back(step);
    }

    void send(const QByteArray &bytes)
    {
        qsizetype done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::write(master, bytes.constData() + done, size_t(bytes.size() - done));
            if (n > 0)
                done += n;
            else if (n < 0 && errno != EINTR && errno != EAGAIN)
                return;
        }
    }

    void answer(const QByteArray &block)
    {
        Step step{Answer::Respond, hex("A0 00 03")};
        {
            std::lock_guard lock(mutex);
            dataBlocks.append(block);
            if (!steps.empty()) {
                step = steps.front();
                steps.pop_front();
            }
        }
        if (step.answer != Answer::NoAck)
            send(hex("16 02 14 01 FE"));
        if (step.answer != Answer::AckOnly)
            send(framed(step.response, sequence++ & 0xFF));
    }

    void serve()
    {
        QByteArray pending;
        QByteArray block;
        while (!stop) {
            pollfd p{master, POLLIN, 0};
            if (::poll(&p, 1, 10) <= 0)
                continue;
            char buffer[4096];
            const ssize_t n = ::read(master, buffer, sizeof buffer);
            if (n <= 0)
                continue;
            {
                std::lock_guard lock(mutex);
                raw.append(buffer, n);
            }
            pending.append(buffer, n);
            while (pending.size() >= 3 && pending.size() >= 3 + quint8(pending.at(1))) {
                const int length = quint8(pending.at(1));
                const QByteArray payload = pending.mid(3, length);
                pending.remove(0, 3 + length);
                if (block.isEmpty() && payload == QByteArray("\x01\xFE", 2)) {
                    std::lock_guard lock(mutex);
                    ++acks;
                    continue;
                }
                block.append(payload);
                if (block.size() >= 5) {
                    const int packetLength = quint8(block.at(3)) << 8 | quint8(block.at(4));
                    if (block.size() >= packetLength + 7) {
                        answer(block);
                        block.clear();
                    }
                }
            }
        }
    }

    int master = -1;
    int keeper = -1;
    QString slave;
    std::thread thread;
    std::atomic<bool> stop{false};
    mutable std::mutex mutex;
    std::deque<Step> steps;
    QByteArray raw;
    QList<QByteArray> dataBlocks;
    int acks = 0;
    int sequence = 0;
};

// PhoneFiles over a link on a fresh BfbPhone, in single-byte mode as after the handshake.
struct FilesOnPhone
{
    BfbPhone phone;
    RecordingUi ui;
    ReferenceChecksum crc;
    PhoneLink link{crc, ui};
    PhoneFiles files{link};

    FilesOnPhone()
    {
        link.Comm1.setDevicePath(phone.devicePath());
        QString reason;
        if (!link.Comm1.open(&reason))
            throw std::runtime_error(reason.toStdString());
        link.Comm1.setReadLength(SerialPort::SingleByte);
        link.setTimeoutInterval(2000);
    }
};
