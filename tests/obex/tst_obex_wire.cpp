// Every OBEX request on the wire, byte for byte, against a scripted phone on a
// pseudo-terminal; and how the operations judge the phone's answers.

#include "bfbbytes.h"
#include "bfbtransport.h"
#include "obexrequests.h"
#include "pty.h"
#include "recordedexchanges.h"
#include "recordingevents.h"
#include "sessionaccess.h"
#include "testchecksum.h"
#include "testprocess.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <deque>
#include <functional>
#include <mutex>
#include <poll.h>
#include <stdexcept>
#include <thread>
#include <unistd.h>

namespace {

// The phone end of a pseudo-terminal, on its own thread. Every complete data block
// from the program is recorded and answered with the link acknowledgement and the
// next prepared response (success when none is left; a null one: none).
class BfbPhone
{
public:
    BfbPhone() : thread([this] { serve(); }) {}
    ~BfbPhone()
    {
        stop = true;
        thread.join();
    }

    QString devicePath() const { return pty.slavePath(); }

    void respond(const QByteArray &response)
    {
        std::lock_guard lock(mutex);
        steps.push_back(response);
    }
    void respond(const char *hexResponse) { respond(hex(hexResponse)); }
    void respond(const QList<QByteArray> &responses)
    {
        for (const QByteArray &response : responses)
            respond(response);
    }

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

private:
    void answer(const QByteArray &block)
    {
        QByteArray response = hex("A0 00 03");
        {
            std::lock_guard lock(mutex);
            dataBlocks.append(block);
            if (!steps.empty()) {
                response = steps.front();
                steps.pop_front();
            }
        }
        pty.send(hex("16 02 14 01 FE"));
        if (!response.isNull())
            pty.send(bfbFrames(bfbBlock(sequence++ & 0xFF, response)));
    }

    void serve()
    {
        QByteArray pending;
        QByteArray block;
        while (!stop) {
            pollfd p{pty.master(), POLLIN, 0};
            if (::poll(&p, 1, 10) <= 0)
                continue;
            char buffer[4096];
            const ssize_t n = ::read(pty.master(), buffer, sizeof buffer);
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
                if (block.isEmpty() && payload == QByteArray("\x01\xFE", 2))
                    continue; // the program's acknowledgement
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

    Pty pty;
    std::atomic<bool> stop{false};
    mutable std::mutex mutex;
    std::deque<QByteArray> steps;
    QByteArray raw;
    QList<QByteArray> dataBlocks;
    int sequence = 0;
    std::thread thread; // last: starts once everything it uses exists
};

// A session, and its link and files, on a fresh BfbPhone, in single-byte mode as after
// the handshake, staging uploads in a folder of its own.
struct FilesOnPhone
{
    BfbPhone phone;
    RecordingEvents events;
    ReferenceChecksum crc;
    PhoneSession session{crc, events};
    SerialLine &link = PhoneSessionTestAccess::link(session);
    BfbLink &bfb = PhoneSessionTestAccess::bfb(session);
    PhoneFiles &files = PhoneSessionTestAccess::files(session);
    QTemporaryDir dir; // where uploads are staged

    FilesOnPhone()
    {
        QString reason;
        if (!LinkTestAccess::openAsConnected(link, phone.devicePath(), &reason))
            throw std::runtime_error(reason.toStdString());
        link.setTimeoutInterval(2000);
        session.setWorkingDirectory(dir.path());
    }
};

// An operation of a table row: true when it did what the row expects.
using Operation = std::function<bool(FilesOnPhone &)>;
// Operations of a table row through the session, and what they came to.
using Outcomes = std::function<QList<PhoneResult>(FilesOnPhone &)>;

const QByteArray Ack = hex("16 02 14 01 FE");
const QByteArray MemoryTotal = hex("A0 00 0C 4C 00 09 01 04 00 0F FF FF"); // 1048575 bytes
const QByteArray MemoryFree = hex("A0 00 0C 4C 00 09 02 04 00 08 00 00"); // 524288 bytes

// A response: code, packet length, headers.
QByteArray response(char code, const QByteArray &headers)
{
    return QByteArray(1, code) + char((headers.size() + 3) >> 8) + char((headers.size() + 3) & 0xFF) + headers;
}

QByteArray bodyHeader(const QByteArray &data, char id = 0x48)
{
    return QByteArray(1, id) + char((data.size() + 3) >> 8) + char((data.size() + 3) & 0xFF) + data;
}

QByteArray lengthHeader(int length)
{
    return hex("C3 00 00") + char(length >> 8) + char(length & 0xFF);
}

// A block of the program's, as it goes out in frames.
QByteArray sent(int sequence, const char *packet, char command = 0x03)
{
    return bfbFrames(bfbBlock(sequence, hex(packet), command));
}

// A copy of an upload still open (it loses its name while open: "/.../temp.tmp (deleted)")
// or left in the working folder once the upload has ended.
bool stagingLeft(const QTemporaryDir &dir)
{
    for (const QFileInfo &fd : QDir(QStringLiteral("/proc/self/fd")).entryInfoList(QDir::System | QDir::Files)) {
        if (fd.symLinkTarget().contains(QStringLiteral("/temp.tmp")))
            return true;
    }
    return QFileInfo::exists(dir.filePath(QStringLiteral("temp.tmp")));
}

// A file to send, written into the folder the transfer stages in.
QString sourceFile(const QTemporaryDir &dir, const QString &name, const QByteArray &content)
{
    writeFile(dir.filePath(name), content);
    return dir.filePath(name);
}

// Plain OBEX without a line: every request is kept, and answered from a recording
// (the request must be the recorded one) or from a script. An upload packet that is
// not final gets Continue and a final one Success once the script is used up.
class PlainPhone : public ObexTransport
{
public:
    QList<QByteArray> requests;
    QList<RecordedExchange> recorded;
    std::deque<QByteArray> answers;
    std::function<void()> beforeAnswer; // runs at each request

    QByteArray exchange(const QByteArray &request) override
    {
        requests << request;
        if (beforeAnswer)
            beforeAnswer();
        if (!recorded.isEmpty()) {
            const RecordedExchange next = recorded.takeFirst();
            if (request != next.request)
                throw std::runtime_error("not as recorded: " + request.toHex().left(60).toStdString());
            return next.answer;
        }
        if (!answers.empty()) {
            const QByteArray answer = answers.front();
            answers.pop_front();
            return answer;
        }
        return quint8(request.at(0)) == 0x02 ? hex("90 00 03") : hex("A0 00 03");
    }
    QByteArray exchangeFirst(const QByteArray &request) override { return exchange(request); }
    QByteArray nextAnswer() override { throw std::runtime_error("no further answer recorded"); }
    bool checksummed() const override { return false; }
};

// A link whose phone announced maxPacket in its plain CONNECT answer (none below 255),
// files over a PlainPhone, and a folder for the PC's files.
struct FilesOnPlainPhone
{
    RecordingEvents events;
    SerialLine link{events, events};
    PlainPhone phone;
    PhoneFiles files{link, phone, events, events};
    QTemporaryDir dir;

    explicit FilesOnPlainPhone(int maxPacket)
    {
        files.setPhoneMaxPacket(
            ObexResponse::announcedMaxPacket(hex("A0 00 07 10 00") + char(maxPacket >> 8) + char(maxPacket & 0xFF)));
    }
    QString source(const QByteArray &content) { return sourceFile(dir, QStringLiteral("probe.bin"), content); }
};

} // namespace

Q_DECLARE_METATYPE(Operation)
Q_DECLARE_METATYPE(Outcomes)

class ObexWire : public QObject
{
    Q_OBJECT

private slots:
    void requestsOnTheWire_data()
    {
        QTest::addColumn<int>("sequence");
        QTest::addColumn<QList<QByteArray>>("responses"); // a null one: the link acknowledgement only
        QTest::addColumn<Operation>("operation");
        QTest::addColumn<QByteArray>("wire");

        const QList<QByteArray> success{hex("A0 00 03")};
        QTest::newRow("enter folder at sequence 1: command 2")
            << 1 << success << Operation([](FilesOnPhone &f) { return f.files.ObexSetPath("Bitmap"); })
            << sent(1, "85 00 16 02 00 01 00 11 00 42 00 69 00 74 00 6D 00 61 00 70 00 00", 0x02) + Ack;
        QTest::newRow("CONNECT: sequence 0, command 2, both frames in one write")
            << 3 << QList<QByteArray>{} << Operation([](FilesOnPhone &f) {
                   f.bfb.sendConnect(ObexRequest::connect(), 0, 0);
                   return f.bfb.bfbSequence() == 3;
               })
            << ConnectFrames;
        QTest::newRow("continuation at sequence 5")
            << 5 << success << Operation([](FilesOnPhone &f) { return f.files.RequestNextPart() == hex("A0 00 03"); })
            << hex("16 0A 1C 03 FC 05 00 03 83 00 03 D6 17") + Ack;
        // A listing in three packets: two bare continuations, then the memory queries.
        const Operation refresh = [](FilesOnPhone &f) {
            const FolderListing listing = f.files.RefreshListing();
            return listing.text == "<folder name=\"Sms\"/><file name=\"a.mid\"/><file name=\"b.jar\"/>"
                && listing.rows.size() == 3 && f.files.totalMemory() == 1048575u
                && f.events.logged("received") == QStringList{"received listing 1", "received listing 2"}
            && f.events.logged("finished") == QStringList{"finished listing 3"};
        };
        QTest::newRow("listing at sequence 1 in three packets, then the memory queries")
            << 1
            << QList{response(char(0x90), bodyHeader("<folder name=\"Sms\"/>")),
                     response(char(0x90), bodyHeader("<file name=\"a.mid\"/>")),
                     response(char(0xA0), bodyHeader("<file name=\"b.jar\"/>", 0x49)), MemoryTotal, MemoryFree}
            << refresh
            << hex("16 20 36 03 FC 01 00 1C 83 00 1C 42 00 19") + "x-obex/folder-listing" + hex("16 03 15 00 F0 F1")
                + Ack + sent(2, "83 00 03") + Ack + sent(3, "83 00 03") + Ack + sent(4, "83 00 09 4C 00 06 32 01 01")
                + Ack + sent(5, "83 00 09 4C 00 06 32 01 02") + Ack;
        QTest::newRow("get file at sequence 7")
            << 7 << QList{hex("A0 00 11 C3 00 00 00 05 48 00 08 00 FF 01 02 03")}
            << Operation([](FilesOnPhone &f) { return f.files.GetFile("pic.bmp") == hex("00 FF 01 02 03"); })
            << hex("16 1D 0B 03 FC 07 00 16 83 00 16 01 00 13 00 70 00 69 00 63 00 2E 00 62 00 6D 00 70 00 00 BA 25")
                + Ack;
        QTest::newRow("make folder at sequence 1 and return")
            << 1 << success + success << Operation([](FilesOnPhone &f) {
                   return f.files.makeFolderAndReturn("New") && f.files.pathStack().isEmpty();
               })
            << sent(1, "85 00 10 00 00 01 00 0B 00 4E 00 65 00 77 00 00", 0x02) + Ack
                + hex("16 0C 1A 03 FC 02 00 05 85 00 05 03 00 4F 23") + Ack;
        QTest::newRow("delete at sequence 1: command 3") << 1 << success << Operation([](FilesOnPhone &f) {
            return f.files.DeleteObject("a") == DeleteResult::Deleted;
        }) << sent(1, "82 00 0A 01 00 07 00 61 00 00") + Ack;
        QTest::newRow("move at sequence 5")
            << 5 << success << Operation([](FilesOnPhone &f) {
                   return f.files.moveObject({"a.txt"}, {"Sub", "b.txt"}) == MoveResult::Moved
                       && f.files.pathStack().isEmpty();
               })
            << bfbFrames(
                   hex("03 FC 05 00 30 82 00 30 4C 00 2D 34 04 6D 6F 76 65 35 0C 00 2F 00 61 00 2E 00 74 00 78 00 74"
                       " 36 14 00 2F 00 53 00 75 00 62 00 2F 00 62 00 2E 00 74 00 78 00 74 A7 BC"))
                + Ack;
        // Cyrillic names travel as UTF-16 units, not as Windows-1251 bytes.
        QTest::newRow("move of Cyrillic names at sequence 2, destination exists")
            << 2 << QList{hex("CC 00 03")} << Operation([](FilesOnPhone &f) {
                   return f.files.moveObject({"Bitmap", "\xD4.bmp"}, {"Bitmap", "\xDF.bmp"})
                       == MoveResult::DestinationExists;
               })
            << bfbFrames(
                   hex("03 FC 02 00 44 82 00 44 4C 00 41 34 04 6D 6F 76 65"
                       " 35 1A 00 2F 00 42 00 69 00 74 00 6D 00 61 00 70 00 2F 04 24 00 2E 00 62 00 6D 00 70"
                       " 36 1A 00 2F 00 42 00 69 00 74 00 6D 00 61 00 70 00 2F 04 2F 00 2E 00 62 00 6D 00 70 77 F7"))
                + Ack;
        QTest::newRow("upload at sequence 4")
            << 4 << success + success << Operation([](FilesOnPhone &f) {
                   return f.files.PutFile(sourceFile(f.dir, QStringLiteral("a.txt"), "abc")) == PutResult::Sent
                       && LinkTestAccess::idleMonitorRunning(f.link) && !stagingLeft(f.dir);
               })
            << sent(4,
                    "02 00 20 01 00 0F 00 61 00 2E 00 74 00 78 00 74 00 00 C3 00 00 00 06 48 00 06 61 62 63 00 00 00")
                + Ack + sent(5, "82 00 06 49 00 03") + Ack;
    }

    void requestsOnTheWire()
    {
        QFETCH(int, sequence);
        QFETCH(QList<QByteArray>, responses);
        QFETCH(Operation, operation);
        QFETCH(QByteArray, wire);
        FilesOnPhone f;
        LinkTestAccess::setSequence(f.bfb, sequence);
        f.phone.respond(responses);
        QVERIFY(operation(f));
        f.phone.settle();
        QCOMPARE(f.phone.received().toHex(' '), wire.toHex(' '));
    }

    // PathStack names the phone's folder: it changes only when the phone agrees.
    void pathStackFollowsThePhone()
    {
        FilesOnPhone f;
        f.phone.respond("C4 00 03");
        QVERIFY(!f.files.ObexSetPath("Missing"));
        f.phone.respond("C1 00 03");
        QVERIFY(!f.files.makeFolderAndReturn("NewDir")); // and no step up after it
        QCOMPARE(f.phone.blocks().size(), 2);
        for (const QByteArray name : {"Bitmap", "Sub", "Misc"})
            QVERIFY(f.files.ObexSetPath(name));
        QVERIFY(f.files.ObexSetPathUp());
        QCOMPARE(f.files.pathLine(), QStringLiteral("Mobile:\\Bitmap\\Sub\\"));
        // A phone that will not go up leaves the path as it was.
        f.phone.respond("C3 00 03");
        QVERIFY(f.files.ObexSetPathUp());
        QCOMPARE(f.files.pathLine(), QStringLiteral("Mobile:\\Bitmap\\Sub\\"));
        QCOMPARE(f.files.pathStack(), (QList<QByteArray>{"Bitmap", "Sub"}));
    }

    // The memory figures keep their last values when the phone gives none; a listing that
    // runs past its announced Length is dropped, not shown cut, and the figures are still asked.
    void listingAndMemoryWithoutSuccess()
    {
        FilesOnPhone f;
        const QByteArray listing = "<folder-listing><file name=\"a.txt\" size=\"1\"/></folder-listing>";
        f.phone.respond({response(char(0xA0), bodyHeader("Bitmap")), MemoryTotal, MemoryFree,
                         response(char(0x90), lengthHeader(20) + bodyHeader(listing.left(20))),
                         response(char(0x90), bodyHeader(listing.mid(20))), hex("C0 00 03"), hex("D0 A0 03")});
        f.files.RefreshListing();
        const FolderListing shown = f.files.RefreshListing();
        QVERIFY(shown.text.isEmpty());
        QVERIFY(shown.rows.isEmpty());
        f.phone.settle();
        QCOMPARE(f.phone.blocks().size(), 7);
        QCOMPARE(f.events.logged("memory"), QStringList({"memory total 1048575", "memory free 524288"}));
        QCOMPARE(f.files.totalMemory(), std::optional<quint32>(1048575));
        QCOMPARE(f.files.freeMemory(), std::optional<quint32>(524288));
    }

    // The phone's Length header and the bytes that arrived disagreed, and the download was
    // taken as good: a file cut short would be written and, on a move, deleted on the phone.
    // A phone that kept answering Continue kept the program asking for ever; now the
    // transfer stops once it passes the announced Length, or once the answers stop
    // bringing data. A refused or broken-off transfer is a failure too, however much arrived.
    void hostileDownloadsFail_data()
    {
        QTest::addColumn<QList<QByteArray>>("responses");
        QTest::addColumn<int>("requests"); // the request and the continuations up to the overrun
        QTest::addColumn<int>("refusedPiece"); // the piece a sink on the PC cannot take (1 = first); 0: no sink
        const char more = char(0x90), done = char(0xA0);
        QTest::newRow("the PC cannot take a piece")
            << QList{response(more, lengthHeader(12) + bodyHeader("abcd")), response(more, bodyHeader("efgh")),
                     response(done, bodyHeader("ijkl", 0x49))}
            << 2 << 2;
        QTest::newRow("refused") << QList{hex("C4 00 03")} << 1 << 0;
        QTest::newRow("broken off") << QList{response(more, lengthHeader(32) + bodyHeader("ab")), hex("D0 00 03")} << 2
                                    << 0;
        QTest::newRow("shorter, in one response")
            << QList{response(done, lengthHeader(10) + bodyHeader("hello"))} << 1 << 0;
        QTest::newRow("longer") << QList{response(more, lengthHeader(4) + bodyHeader("hel")),
                                         response(done, bodyHeader("lo!", 0x49))}
                                << 2 << 0;
        QTest::newRow("past the announced Length without end")
            << QList{response(more, lengthHeader(8) + bodyHeader("abcd"))}
                + QList<QByteArray>(100, response(more, bodyHeader("efgh")))
            << 3 << 0;
        QTest::newRow("Continue without data without end") << QList<QByteArray>(100, hex("90 00 03")) << 65 << 0;
    }

    void hostileDownloadsFail()
    {
        QFETCH(QList<QByteArray>, responses);
        QFETCH(int, requests);
        QFETCH(int, refusedPiece);
        FilesOnPhone f;
        f.phone.respond(responses);
        int pieces = 0;
        if (refusedPiece > 0)
            QVERIFY(!f.files.GetFile("cut.bin", [&](QByteArrayView) { return ++pieces < refusedPiece; }));
        else
            QVERIFY(!f.files.GetFile("cut.bin"));
        f.phone.settle();
        QCOMPARE(f.phone.blocks().size(), requests);
    }

    // What the phone could not take is refused on the PC: nothing is sent and no staging
    // file stays; the result says why.
    void refusedBeforeSending_data()
    {
        QTest::addColumn<Outcomes>("operation");
        QTest::addColumn<QList<PhoneResult::Code>>("codes");
        QTest::addColumn<QList<Refusal>>("refusals");
        using C = QList<PhoneResult::Code>;
        using R = QList<Refusal>;
        constexpr auto NotSent = PhoneResult::Code::NotSent;
        QTest::newRow("file names of 124 bytes") << Outcomes([](FilesOnPhone &f) {
            QByteArray content;
            return QList{f.session.get({}, QByteArray(124, 'g'), &content), f.session.remove({}, QByteArray(124, 'd'))};
        }) << C{NotSent, NotSent} << R{Refusal::FileNameTooLong, Refusal::FileNameTooLong};
        QTest::newRow("folder names of 123 bytes") << Outcomes([](FilesOnPhone &f) {
            return QList{f.session.enter({QByteArray(123, 's')}), f.session.makeFolder({}, QByteArray(123, 'm'))};
        }) << C{NotSent, NotSent} << R{Refusal::FolderNameTooLong, Refusal::FolderNameTooLong};
        QTest::newRow("name outside the code page") << Outcomes([](FilesOnPhone &) {
            QByteArray name;
            return QList{PhoneSession::encodeName(QStringLiteral("日本"), &name)};
        }) << C{NotSent} << R{Refusal::NameNotEncodable};
        QTest::newRow("move paths past 127 bytes") << Outcomes([](FilesOnPhone &f) {
            return QList{f.session.move({}, QByteArray(127, 'a'), {}, "b"),
                         f.session.move({}, "a", {"Sub"}, QByteArray(123, 'b'))};
        }) << C{PhoneResult::Code::PathTooLong, PhoneResult::Code::PathTooLong}
                                                   << R{};
        QTest::newRow("move of a name outside the code page")
            << Outcomes([](FilesOnPhone &f) { return QList{f.session.move({}, "\x98", {}, "b")}; }) << C{NotSent}
            << R{Refusal::NameNotEncodable};
        QTest::newRow("missing source") << Outcomes([](FilesOnPhone &f) {
            return QList{f.session.put(f.dir.filePath(QStringLiteral("none.txt")), {})};
        }) << C{NotSent} << R{Refusal::SourceMissing};
        QTest::newRow("16 MiB staged") << Outcomes([](FilesOnPhone &f) {
            QFile huge(f.dir.filePath(QStringLiteral("huge.bin")));
            // Stages exactly 16 MiB; sparse on disk.
            if (!huge.open(QIODevice::WriteOnly) || !huge.resize(16676551))
                return QList<PhoneResult>{};
            return QList{f.session.put(huge.fileName(), {})};
        }) << C{NotSent} << R{Refusal::StagingTooLarge};
        QTest::newRow("upload name of 240 characters") << Outcomes([](FilesOnPhone &f) {
            return QList{f.session.put(sourceFile(f.dir, QString(240, u'n'), {}), {})};
        }) << C{NotSent} << R{Refusal::UploadNameTooLong};
        QTest::newRow("upload name outside the code page") << Outcomes([](FilesOnPhone &f) {
            return QList{f.session.put(sourceFile(f.dir, QStringLiteral("日本.txt"), {}), {})};
        }) << C{NotSent} << R{Refusal::NameNotEncodable};
        QTest::newRow("more than 150 kB staged, and the user says no") << Outcomes([](FilesOnPhone &f) {
            f.events.answers = {false};
            return QList{f.session.put(sourceFile(f.dir, QStringLiteral("large.bin"), QByteArray(152677, 'q')), {}),
                         PhoneResult(f.events.questions == 1 ? PhoneResult::Code::Done : PhoneResult::Code::Refused)};
        }) << C{PhoneResult::Code::Declined, PhoneResult::Code::Done} << R{};
    }

    void refusedBeforeSending()
    {
        QFETCH(Outcomes, operation);
        FilesOnPhone f;
        QList<PhoneResult::Code> codes;
        QList<Refusal> refusals;
        for (const PhoneResult &result : operation(f)) {
            codes << result.code();
            if (result.refusal())
                refusals << *result.refusal();
        }
        QTEST(codes, "codes");
        QTEST(refusals, "refusals");
        f.phone.settle();
        QVERIFY(f.phone.received().isEmpty());
        QVERIFY(LinkTestAccess::idleMonitorRunning(f.link));
        QVERIFY(!stagingLeft(f.dir));
    }

    void moveOfTheLongestPaths()
    {
        // "/" and 126 characters fill the one-byte length of a path exactly.
        FilesOnPhone f;
        QCOMPARE(f.files.moveObject({QByteArray(126, 'a')}, {QByteArray(126, 'b')}), MoveResult::Moved);
        f.phone.settle();
        QCOMPARE(f.phone.blocks().first().mid(17, 2), hex("35 FE"));
    }

    void uploadStagingCases_data()
    {
        QTest::addColumn<int>("length");
        QTest::addColumn<QList<int>>("bodyLengths"); // Body header lengths, End excluded
        QTest::newRow("empty") << 0 << QList<int>{3};
        QTest::newRow("496") << 496 << QList<int>{499};
        QTest::newRow("497") << 497 << QList<int>{500, 3};
        QTest::newRow("994") << 994 << QList<int>{500, 500, 3};
        QTest::newRow("1500") << 1500 << QList<int>{500, 500, 500, 12};
    }

    void uploadStagingCases()
    {
        QFETCH(int, length);
        QFETCH(QList<int>, bodyLengths);
        // Continue for each packet but the End, then Success.
        const QList<QByteArray> answers = QList<QByteArray>(bodyLengths.size(), hex("90 00 03")) << hex("A0 00 03");
        FilesOnPhone f;
        f.phone.respond(answers);
        const QByteArray content = randomBytes(length, quint32(length));
        QCOMPARE(f.files.PutFile(sourceFile(f.dir, QStringLiteral("f.bin"), content)), PutResult::Sent);
        f.phone.settle();
        const QList<QByteArray> blocks = f.phone.blocks();
        QCOMPARE(blocks.size(), bodyLengths.size() + 1);
        // The first packet announces the staged length: every record with its three zero bytes.
        const qint64 staged = length + 3 * (length / 497 + 1);
        QCOMPARE(blocks[0].mid(23, 5), hex("C3 00") + char(staged >> 16) + char(staged >> 8) + char(staged));
        QByteArray data;
        for (int i = 0; i < bodyLengths.size(); ++i) {
            const QByteArray &block = blocks[i];
            QCOMPARE(block.mid(5, 3), hex("02") + block.mid(3, 2)); // PUT, as long as its block
            // After the name and Length headers in the first packet, at once in the others.
            const int bodyAt = i == 0 ? 28 : 8;
            QCOMPARE(block.mid(bodyAt, 3), hex("48") + char(bodyLengths[i] >> 8) + char(bodyLengths[i] & 0xFF));
            // The record follows the header whole, its three zero bytes included.
            QCOMPARE(block.size(), bodyAt + 3 + bodyLengths[i] + 2);
            QCOMPARE(block.mid(bodyAt + bodyLengths[i], 3), QByteArray(3, '\0'));
            data += block.mid(bodyAt + 3, bodyLengths[i] - 3);
        }
        QCOMPARE(data, content);
        QCOMPARE(blocks.last().mid(5, 6), hex("82 00 06 49 00 03"));
        QCOMPARE(f.events.logged("sent").last(), QStringLiteral("sent upload %1").arg(length / 497 + 1));

        // The same content from memory goes out byte for byte the same, and nothing is staged on disk.
        FilesOnPhone fromMemory;
        fromMemory.phone.respond(answers);
        QCOMPARE(fromMemory.files.putData("f.bin", content), PutResult::Sent);
        fromMemory.phone.settle();
        QCOMPARE(fromMemory.phone.received(), f.phone.received());
        QCOMPARE(fromMemory.events.log, f.events.log);
        QVERIFY(QDir(fromMemory.dir.path()).isEmpty());
    }

    // A refusal midway, or a link that fails: no End, and no staging file stays.
    void uploadRefusedMidway()
    {
        FilesOnPhone f;
        const QString source = sourceFile(f.dir, QStringLiteral("big.bin"), QByteArray(1500, 'z'));
        f.phone.respond({hex("90 00 03"), hex("C4 00 03")});
        QCOMPARE(f.files.PutFile(source), PutResult::Refused);
        f.phone.settle();
        // First, one Next, the refusal acknowledged, then nothing.
        QCOMPARE(f.phone.blocks().size(), 2);
        QVERIFY(f.phone.received().endsWith(Ack));
        QVERIFY(LinkTestAccess::idleMonitorRunning(f.link));
        QVERIFY(!stagingLeft(f.dir));

        f.phone.respond(QByteArray()); // the link acknowledgement, then silence
        QVERIFY_THROWS_EXCEPTION(LinkLost, f.files.PutFile(source));
        QCOMPARE(f.phone.blocks().size(), 3);
        QVERIFY(!stagingLeft(f.dir));
    }

    void plainUploadsAsRecorded_data()
    {
        QTest::addColumn<QString>("phone");
        QTest::newRow("M56v06, 474-byte packets") << QStringLiteral("M56v06");
        QTest::newRow("S75v47, 8208-byte packets") << QStringLiteral("S75v47");
    }

    // Recorded from real phones in plain OBEX (obex.files): probe.bin written, read back
    // and written over. Every request must be the recorded one, byte for byte.
    void plainUploadsAsRecorded()
    {
        QFETCH(QString, phone);
        const QList<RecordedExchange> connect = loadRecording(phone + QStringLiteral("-connect.trace"));
        QVERIFY(!connect.isEmpty());
        FilesOnPlainPhone f(ObexResponse::announcedMaxPacket(connect.first().answer).value_or(0));
        QList<RecordedExchange> &recorded = f.phone.recorded;
        recorded = loadRecording(phone + QStringLiteral("-files.trace"));
        // The recorder went into its folder first (SETPATH); the file's exchanges follow.
        while (!recorded.isEmpty() && quint8(recorded.first().request.at(0)) == 0x85)
            recorded.removeFirst();
        QVERIFY(!recorded.isEmpty());
        try {
            const QString source = f.source(QByteArray(3000, 'A'));
            QCOMPARE(f.files.PutFile(source), PutResult::Sent);
            QCOMPARE(f.files.GetFile("probe.bin"), std::optional<QByteArray>(QByteArray(3000, 'A')));
            QCOMPARE(f.files.PutFile(f.source(QByteArray(100, 'B'))), PutResult::Sent);
            // Read again, in its own and in other letter case, then deleted: the M56 appended
            // the second write, the S75 replaced the file with it.
            const QByteArray now = (phone == u"M56v06" ? QByteArray(3000, 'A') : QByteArray()) + QByteArray(100, 'B');
            QCOMPARE(f.files.GetFile("probe.bin"), std::optional<QByteArray>(now));
            QCOMPARE(f.files.GetFile("PROBE.BIN"), std::optional<QByteArray>(now));
            QCOMPARE(f.files.DeleteObject("probe.bin"), DeleteResult::Deleted);
        } catch (const std::runtime_error &error) {
            QFAIL(error.what());
        }
        QCOMPARE(recorded.size(), 0);
    }

    void plainUploadCases_data()
    {
        QTest::addColumn<int>("maxPacket");
        QTest::addColumn<int>("length");
        QTest::addColumn<QList<int>>("pieces"); // file bytes in each packet after the Name, the last final
        // An empty file still ends with an End-of-Body: a final PUT with the Name alone deletes.
        QTest::newRow("empty") << 474 << 0 << QList<int>{0};
        QTest::newRow("one byte") << 474 << 1 << QList<int>{1};
        QTest::newRow("exactly one piece") << 474 << 468 << QList<int>{468};
        QTest::newRow("one piece and a byte") << 474 << 469 << QList<int>{468, 1};
        QTest::newRow("exactly two pieces") << 1030 << 2048 << QList<int>{1024, 1024};
        // No figure in the CONNECT answer (or one below 255): the packet every OBEX peer takes.
        QTest::newRow("no packet figure") << 0 << 500 << QList<int>{249, 249, 2};
    }

    void plainUploadCases()
    {
        QFETCH(int, maxPacket);
        QFETCH(int, length);
        QFETCH(QList<int>, pieces);
        FilesOnPlainPhone f(maxPacket);
        const QByteArray content = randomBytes(length, quint32(length + 1));
        QCOMPARE(f.files.PutFile(f.source(content)), PutResult::Sent);
        const QList<QByteArray> &requests = f.phone.requests;
        QCOMPARE(requests.size(), pieces.size() + 1);
        QCOMPARE(requests.first(), ObexRequest::putName("probe.bin"));
        QByteArray sent;
        for (int i = 0; i < pieces.size(); ++i) {
            const QByteArray &packet = requests[i + 1];
            const bool last = i + 1 == pieces.size();
            const int size = 6 + pieces[i];
            // Opcode, length, then one Body (End-of-Body in the final one) and nothing after it.
            QCOMPARE(packet.left(6),
                     QByteArray(1, last ? char(0x82) : char(0x02)) + char(size >> 8) + char(size & 0xFF)
                         + (last ? char(0x49) : char(0x48)) + char((size - 3) >> 8) + char((size - 3) & 0xFF));
            QCOMPARE(packet.size(), size);
            sent += packet.mid(6);
        }
        QCOMPARE(sent, content);
        QCOMPARE(f.events.logged("sent").last(), QStringLiteral("sent upload %1").arg(pieces.size() + 1));
        // Read as it goes: nothing is staged.
        QVERIFY(!stagingLeft(f.dir));

        // From memory, the same packets.
        FilesOnPlainPhone fromMemory(maxPacket);
        QCOMPARE(fromMemory.files.putData("probe.bin", content), PutResult::Sent);
        QCOMPARE(fromMemory.phone.requests, requests);
    }

    // A file that changes while it is sent is not finished: ABORT in place of the final
    // packet, and the upload counts as not sent.
    void plainUploadOfAChangingFile()
    {
        FilesOnPlainPhone f(474);
        const QString source = f.source(QByteArray(2000, 'x'));
        f.phone.beforeAnswer = [&] {
            if (f.phone.requests.size() == 2)
                writeFile(source, QByteArray(2100, 'y'));
        };
        QCOMPARE(f.files.PutFile(source), PutResult::NotSent);
        QCOMPARE(f.files.takeRefusal(), std::optional<Refusal>(Refusal::SourceChanged));
        QCOMPARE(f.phone.requests.last(), hex("FF 00 03"));
        for (const QByteArray &request : std::as_const(f.phone.requests))
            QVERIFY(quint8(request.at(0)) != 0x82);

        // A refused piece ends the upload there, no ABORT.
        FilesOnPlainPhone refused(474);
        refused.phone.answers = {hex("90 00 03"), hex("90 00 03"), hex("E0 00 03")};
        QCOMPARE(refused.files.PutFile(refused.source(QByteArray(2000, 'x'))), PutResult::Full);
        QCOMPARE(refused.phone.requests.size(), 3);
    }

    // In plain OBEX the phone goes up the way the recorded phones were taken there: to the
    // root (SETPATH with an empty Name) and down again; no recording shows a parent SETPATH.
    void plainFolderStepsAsRecorded()
    {
        FilesOnPlainPhone f(474);
        f.files.enterRootAndRefresh();
        f.phone.requests.clear();
        QVERIFY(f.files.ObexSetPath("Data"));
        QVERIFY(f.files.ObexSetPath("Misc"));
        QVERIFY(f.files.ObexSetPathUp());
        QCOMPARE(f.files.pathStack(), (QList<QByteArray>{"Root", "Data"}));
        const QByteArray root = hex("85 00 08 02 00 01 00 03");
        const QByteArray data = hex("85 00 12 02 00 01 00 0D 00 44 00 61 00 74 00 61 00 00");
        // Misc's as recorded in S66v34 obex.files.
        QCOMPARE(f.phone.requests, (QList{data, hex("850012020001000d004d0069007300630000"), root, data}));
        QVERIFY(!f.files.climbTo(0));
        QCOMPARE(f.phone.requests.last(), root);
        QCOMPARE(f.files.pathStack(), QList<QByteArray>{"Root"});
    }
};

QTEST_GUILESS_MAIN(ObexWire)
#include "tst_obex_wire.moc"
