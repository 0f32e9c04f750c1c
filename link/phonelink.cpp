#include "phonelink.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QSocketNotifier>
#include <QThread>

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace {

const QString ReceiveErrorTitle = QStringLiteral("ОШИБКА ПРИЕМА ДАННЫХ!!!");
const QString TimeoutText =
    QStringLiteral("К сожалению, произошла ошибка ПРИЕМА ДАННЫХ - TIMEOUT. Программа будет закрыта!!! "
                   "Выключите и включите телефон!!!");
const QString BadDataText =
    QStringLiteral("К сожалению, произошла серьезная ошибка ПРИЕМА ДАННЫХ!!! Программа будет закрыта!!! "
                   "Выключите и включите телефон!!!");

constexpr quint8 FrameType = 0x16;
constexpr quint8 AckCommand = 0x01;
constexpr int CrcBytes = 2;

} // namespace

PhoneLink::PhoneLink(Checksum &crc, PhoneUi &ui, QObject *parent) : QObject(parent), Crc(crc), m_ui(ui)
{
    TimeoutTimer.setSingleShot(true);
    // A coarse timer may fire 5 % early: a byte 19 s after the last must still count.
    TimeoutTimer.setTimerType(Qt::PreciseTimer);
    TimeoutTimer.setInterval(DefaultTimeoutMs);
    connect(&TimeoutTimer, &QTimer::timeout, this, [this] {
        TimeoutTimer.stop();
        TimedOut = true;
    });

    for (QTimer *monitor : {&Timer1, &Timer2}) {
        monitor->setInterval(MonitorPeriodMs);
        connect(monitor, &QTimer::timeout, this, &PhoneLink::showWaitingBytes);
    }
    Timer1.start();
}

PhoneLink::~PhoneLink() = default;

void PhoneLink::setTimeoutInterval(int ms)
{
    TimeoutTimer.setInterval(ms);
}

void PhoneLink::setPauseScale(double scale)
{
    m_pauseScale = scale;
}

void PhoneLink::pause(int ms)
{
    const long scaled = std::lround(ms * m_pauseScale);
    if (scaled > 0)
        QThread::msleep(static_cast<unsigned long>(scaled));
}

void PhoneLink::setLinkState(const QString &state)
{
    if (state == m_linkState)
        return;
    m_linkState = state;
    emit linkStateChanged(m_linkState);
}

void PhoneLink::showWaitingBytes()
{
    m_ui.setWaitingBytesText(QString::number(Comm1.bytesWaiting()));
}

void PhoneLink::ensureNotifier()
{
    const int fd = Comm1.fd();
    if (m_notifier && m_notifier->socket() == fd)
        return;
    m_notifier.reset();
    if (fd < 0)
        return;
    m_notifier = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
    m_notifier->setEnabled(false);
    connect(m_notifier.get(), &QSocketNotifier::activated, this, [this] { m_dataSignalled = true; });
}

quint8 PhoneLink::ReadByte()
{
    TimeoutTimer.start();
    // A hung-up device stays readable without data; then only the time-out can end the wait.
    bool watchPort = true;
    for (;;) {
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        if (TimedOut)
            AbortOnTimeout();
        if (Comm1.bytesWaiting() > 0) {
            const QByteArray byte = Comm1.read(SerialPort::SingleByte);
            if (!byte.isEmpty()) {
                TimeoutTimer.stop();
                return quint8(byte.at(0));
            }
            watchPort = false;
        }

        // Sleep until the port has data, a timer fires or the user does something.
        if (watchPort)
            ensureNotifier();
        const bool watching = watchPort && m_notifier;
        if (watching)
            m_notifier->setEnabled(true);
        m_dataSignalled = false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        if (watching) {
            m_notifier->setEnabled(false);
            if (m_dataSignalled && Comm1.bytesWaiting() == 0)
                watchPort = false;
        }
    }
}

void PhoneLink::abortWith(const QString &text)
{
    m_ui.showMessage(PhoneUi::Icon::Critical, ReceiveErrorTitle, text);
    if (m_notifier)
        m_notifier->setEnabled(false);
    m_notifier.reset();
    if (Comm1.isOpen())
        Comm1.close();
    m_ui.endProgram(1);
    // endProgram must not return; should an implementation do so, end here all the same.
    std::exit(1);
}

void PhoneLink::AbortOnTimeout()
{
    TimeoutTimer.stop();
    abortWith(TimeoutText);
}

void PhoneLink::AbortOnBadData()
{
    abortWith(BadDataText);
}

void PhoneLink::advanceSequence()
{
    BfbSequence = BfbSequence >= 255 ? 0 : BfbSequence + 1;
}

bool PhoneLink::writeFrames(const QByteArray &frames)
{
    return Comm1.write(frames);
}

void PhoneLink::appendBlockCrc(QByteArray &block)
{
    const quint16 crc = Crc.CrcCalc(block.mid(2));
    block.append(char(crc & 0xFF));
    block.append(char(crc >> 8));
}

QByteArray PhoneLink::dataFrame(const QByteArray &payload)
{
    const quint8 length = quint8(payload.size());
    QByteArray frame;
    frame.reserve(3 + payload.size());
    frame.append(char(FrameType));
    frame.append(char(length));
    frame.append(char(quint8(Crc.Xor(FrameType, length))));
    frame.append(payload);
    return frame;
}

void PhoneLink::SendPacket(const QByteArray &block)
{
    // A block that fits travels in one frame; otherwise full 32-byte frames and the rest.
    qsizetype offset = 0;
    do {
        const qsizetype piece = std::min<qsizetype>(MaxFramePayload, block.size() - offset);
        writeFrames(dataFrame(block.mid(offset, piece)));
        offset += piece;
    } while (offset < block.size());
    advanceSequence();
    ReceiveReply();
}

QByteArray PhoneLink::ReceiveReply()
{
    if (ReadByte() != FrameType)
        AbortOnBadData();
    int r = ReadByte();
    ReadByte(); // header check, not examined
    // Never read beyond the frame: the header bytes below must lie inside it.
    if (r < 1)
        AbortOnBadData();
    const quint8 command = ReadByte();
    r -= 1;
    if (command == AckCommand) {
        if (r < 1)
            AbortOnBadData();
        ReadByte(); // complement; further payload stays queued
        return QByteArray(Acknowledge);
    }
    if (r < 4)
        AbortOnBadData();
    ReadByte(); // complement
    ReadByte(); // sequence number
    const int high = ReadByte();
    const int low = ReadByte();
    r -= 4;
    // Lengths from 0x8000 up are beyond anything the program announces it accepts.
    if (high >= 0x80)
        AbortOnBadData();
    int n = high * 256 + low;

    QByteArray result;
    result.reserve(n);
    while (n > r - CrcBytes) {
        for (int i = 0; i < r; ++i)
            result.append(char(ReadByte()));
        n -= r;
        if (ReadByte() != FrameType)
            AbortOnBadData();
        r = ReadByte();
        ReadByte(); // header check
    }
    for (int i = 0; i < n; ++i)
        result.append(char(ReadByte()));
    r -= std::max(n, 0);
    if (r != CrcBytes)
        AbortOnBadData();
    ReadByte(); // CRC, not verified
    ReadByte();
    return result;
}

void PhoneLink::SendAck()
{
    writeFrames(AckFrame);
}
