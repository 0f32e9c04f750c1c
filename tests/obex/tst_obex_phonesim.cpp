// Through the emulated phone, with the real connect procedure (pauses shortened): round
// trips of names with every byte value, uploaded, listed, downloaded and deleted byte
// for byte on one connection; lost blocks and
// acknowledgements, a line that stays bad and a slow phone, each on a phone of its own.
// How the link mends each fault is shown in tst_bfb_link; random faults and noise
// run in the soak.

#include "cp1251.h"
#include "localnames.h"
#include "obexrequests.h"
#include "phonesession.h"
#include "recordingevents.h"
#include "sessionaccess.h"
#include "simsession.h"
#include "staging.h"
#include "testchecksum.h"
#include "testprocess.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTest>
#include <QThread>

#include <algorithm>
#include <memory>

namespace {

// The emulated phone's folder with the root folders Bitmap and Ringing tone, connected
// once with the connect procedure at a tenth of its pauses, over the link chosen.
struct PhonesimSession : SimSession
{
    // The link's wait for an acknowledgement; a phone told --resend-after ResendMs sends
    // its blocks again as quickly.
    static constexpr int ResendMs = 500;

    std::unique_ptr<Checksum> crc;
    SerialLine *link = nullptr;
    PhoneFiles *files = nullptr;
    FolderListing rootListing;

    QString local(const QString &name) const { return dir.filePath(QStringLiteral("pc/") + name); }

    PhonesimSession()
    {
        QDir().mkpath(flash(QStringLiteral("Bitmap")));
        QDir().mkpath(flash(QStringLiteral("Ringing tone")));
    }

    bool connect(const QStringList &simOptions = {}, LinkChoice choice = LinkChoice::BfbFirst)
    {
        crc = makeChecksum();
        // The short pauses below need a phone that answers at once.
        if (!sim.start(flash(), QStringList{"--at-latency", "0", "--obex-latency", "0"} + simOptions))
            return false;
        session = std::make_unique<PhoneSession>(*crc, events);
        session->setLinkChoice(choice);
        link = &PhoneSessionTestAccess::link(*session);
        files = &PhoneSessionTestAccess::files(*session);
        session->setWorkingDirectory(dir.path());
        link->setDevicePath(sim.device);
        link->setPauseScale(0.1);
        link->setTimeoutInterval(5000);
        // Line faults are mended at test speed.
        PhoneSessionTestAccess::bfb(*session).setResendInterval(ResendMs);
        link->setQuietInterval(20);
        return session->connect([this](const FolderListing &listing) { rootListing = listing; }).ok();
    }
};

// The phone takes a capital and its small letter for one: capitals' names begin
// with u, so that each byte value gets a file of its own.
QByteArray phoneNameFor(int byte)
{
    const QString letter = Cp1251::decode(QByteArray(1, char(byte)));
    return QByteArray(letter.toLower() != letter ? "u" : "n") + char(byte) + QByteArray(".bin");
}

enum class Operation {
    Get,
    List,
    Put,
};

// A phone with these faults that cuts its blocks blindly; f.bin on the phone and
// up.bin on the PC hold content.
bool connectWith(PhonesimSession &s, const QStringList &faults, const QByteArray &content)
{
    return writeFile(s.flash() + "/f.bin", content) && writeFile(s.local("up.bin"), content)
        && s.connect(faults
                     + QStringList{"--resend-after", QString::number(PhonesimSession::ResendMs), "--cut", "blind"});
}

// True when the operation brought its data whole.
bool operate(PhonesimSession &s, Operation operation, const QByteArray &content)
{
    switch (operation) {
    case Operation::Get: {
        // Piece by piece, as the front ends take it.
        QByteArray received;
        return s.files->GetFile("f.bin", [&received](QByteArrayView piece) {
            received.append(piece);
            return true;
        }) && received == content;
    }
    case Operation::List:
        return s.files->RefreshListing().rows.size() == 3;
    case Operation::Put:
        return s.files->PutFile(s.local("up.bin")) == PutResult::Sent && readFile(s.flash() + "/up.bin") == content;
    }
    return false;
}

// Every file in the phone's folder with its content (hidden ones too).
QMap<QString, QByteArray> flashFiles(const PhonesimSession &s)
{
    QMap<QString, QByteArray> files;
    for (const QString &name : QDir(s.flash()).entryList(QDir::Files | QDir::Hidden))
        files.insert(name, readFile(s.flash() + u'/' + name));
    return files;
}

// phonesim writes its log from its own process, the closing of the line a moment
// after the program closed it: the lines once they stop changing.
QStringList settledLog(const PhonesimSession &s)
{
    QStringList lines = s.sim.logLines();
    for (;;) {
        QThread::msleep(300);
        const QStringList now = s.sim.logLines();
        if (now == lines)
            return lines;
        lines = now;
    }
}

const QByteArray OldBytes(3000, 'o');
const QByteArray NewBytes = randomBytes(1000, 23);

} // namespace

class ObexPhonesim : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(shared.connect()); }

    // A name the phone cannot store is refused before anything is sent, a name the phone
    // refuses leaves nothing behind, and every other name arrives byte for byte.
    void everyByteValueInANameRoundTrips()
    {
        const QString pc = shared.dir.filePath(QStringLiteral("pc"));
        const auto contentFor = [](int byte) { return randomBytes(byte * 3, quint32(byte)); };
        QList<int> stored;
        QList<Refusal> refusals;
        for (int byte = 1; byte < 256; ++byte) {
            if (byte == '/')
                continue; // no PC file name holds it
            const QString pcName = Cp1251::decode(phoneNameFor(byte));
            const QString source = localFilePath(pc, pcName);
            QVERIFY(writeFile(source, contentFor(byte)));
            const PutResult result = shared.files->PutFile(source);
            // Bytes the emulated phone refuses in names, as a phone's file system does.
            const bool refused = byte < 0x20 || byte == 0x7F || byte == '\\';
            const PutResult expected =
                byte == 0x98 ? PutResult::NotSent : (refused ? PutResult::Refused : PutResult::Sent);
            QVERIFY2(result == expected, qPrintable(QString::number(byte, 16)));
            if (const std::optional<Refusal> refusal = shared.files->takeRefusal())
                refusals << *refusal;
            if (result == PutResult::Sent) {
                QCOMPARE(readFile(localFilePath(shared.flash(), pcName)), contentFor(byte));
                stored << byte;
            }
            QCOMPARE(readFile(source), contentFor(byte)); // the source is never touched
        }
        // 0x98 names no character: refused on the PC with a message, before anything was sent.
        QCOMPARE(refusals, QList<Refusal>{Refusal::NameNotEncodable});
        QCOMPARE(shared.sim.logLines("PUT name=").size(), 253);
        // All but '/', the 31 controls, DEL, '\' and 0x98; the refused left nothing behind.
        QCOMPARE(stored.size(), 255 - 1 - 31 - 1 - 1 - 1);
        QCOMPARE(QDir(shared.flash()).entryList(QDir::Files | QDir::Hidden | QDir::System).size(), stored.size());

        // The listing, many packets long and read as XML, names each file with the bytes it
        // was stored under, XML references (&amp; and the like) resolved.
        const FolderListing listing = shared.files->RefreshListing();
        QVERIFY(parseListingXml(listing.text));
        QList<QByteArray> listed;
        for (const ListingRow &row : listing.rows)
            listed << row.name;
        QVERIFY(shared.events.log.contains(QStringLiteral("received listing 2")));

        // Downloaded into a PC folder under the same name, then deleted on the phone.
        const QString back = shared.dir.filePath(QStringLiteral("back"));
        for (int byte : stored) {
            const QByteArray name = phoneNameFor(byte);
            QVERIFY2(listed.contains(name), qPrintable(QString::number(byte, 16)));
            const auto content = shared.files->GetFile(name);
            QCOMPARE(content, std::optional<QByteArray>(contentFor(byte)));
            const auto local = safeLocalName(Cp1251::decode(name));
            QVERIFY(local);
            QVERIFY(writeFile(localFilePath(back, *local), *content));
            QCOMPARE(shared.files->DeleteObject(name), DeleteResult::Deleted);
        }
        QCOMPARE(QDir(back).entryList(QDir::Files | QDir::Hidden | QDir::System).size(), stored.size());
        QVERIFY(QDir(shared.flash()).entryList(QDir::Files | QDir::Hidden | QDir::System).isEmpty());
    }

    // A source whose length the file system does not tell in advance (files under
    // /proc report 0) was announced in the Length header with the staged length of an
    // empty file while its whole content followed (found uploading unusual sources).
    void uploadAnnouncesTheLengthItSends()
    {
        const QString source = QStringLiteral("/proc/version");
        const QByteArray content = readFile(source);
        if (content == "<missing>")
            QSKIP("no /proc here");
        QVERIFY(!content.isEmpty());
        QCOMPARE(QFileInfo(source).size(), 0);
        QCOMPARE(shared.files->PutFile(source), PutResult::Sent);
        QCOMPARE(readFile(shared.flash() + QStringLiteral("/version")), content);
        // Pieces for a phone of 474 bytes: 465, the first beside the name 441.
        const qint64 staged = Staging::stagedLength(content.size(), {441, 465});
        const QStringList puts = shared.sim.logLines(QStringLiteral("PUT name=version"));
        QCOMPARE(puts.size(), 1);
        QVERIFY2(puts.first().startsWith(QStringLiteral("PUT name=version length=%1 ").arg(staged)),
                 qPrintable(puts.first()));
    }

    // Names longer than the old 101-byte request buffer allowed (42 characters for folders,
    // 43 for files) could be listed but not entered, fetched or deleted; the session's
    // limits let the longest that fit through.
    void longNamesReachThePhone()
    {
        const QByteArray folder(122, 'F');
        const QByteArray file = QByteArray(119, 'n') + ".txt";
        const QString onPhone = shared.flash() + u'/' + QString::fromLatin1(folder) + u'/' + QString::fromLatin1(file);
        QVERIFY(writeFile(onPhone, "long name"));
        PhoneSession &session = *shared.session;

        FolderListing listing;
        QVERIFY(session.list({folder}, &listing).ok());
        QCOMPARE(listing.rows.last().name, file);
        QByteArray content;
        QVERIFY(session.get({folder}, file, &content).ok());
        QCOMPARE(content, QByteArray("long name"));
        QVERIFY(session.remove({folder}, file).ok());
        QVERIFY(!QFile::exists(onPhone));
        QVERIFY(session.makeFolder({}, QByteArray(122, 'M')).ok());
        QVERIFY(QFileInfo(shared.flash() + u'/' + QString(122, u'M')).isDir());
        QCOMPARE(session.currentFolder(), QList<QByteArray>());
    }

    // Block numbers: the connect procedure's exchanges are the first four blocks of each
    // side (CONNECT, root listing, two memory figures).
    void lostBlocksAndAcknowledgements_data()
    {
        QTest::addColumn<Operation>("operation");
        QTest::addColumn<QStringList>("fault");
        QTest::addColumn<QList<LinkRepair>>("repairs");
        // The phone's acknowledgement of the request is lost and the response comes in its
        // place: taken as the response and acknowledged at once, nothing sent twice.
        QTest::newRow("phone's acknowledgement of a listing request lost")
            << Operation::List << QStringList{"--lose-tx-ack", "5"} << QList<LinkRepair>{};
        // The program's acknowledgement of a response is lost: the phone's repeat of it is
        // acknowledged again and dropped.
        QTest::newRow("program's acknowledgement lost")
            << Operation::Get << QStringList{"--lose-rx-ack", "6"} << QList{LinkRepair::RepeatAcknowledged};
        // A block of the program's is lost: it goes again.
        QTest::newRow("upload packet lost")
            << Operation::Put << QStringList{"--lose-rx-block", "6"} << QList{LinkRepair::BlockSentAgain};
    }

    void lostBlocksAndAcknowledgements()
    {
        QFETCH(Operation, operation);
        QFETCH(QStringList, fault);
        PhonesimSession s;
        const QByteArray content = randomBytes(3000, 17);
        QVERIFY(connectWith(s, fault, content));
        QVERIFY(operate(s, operation, content));
        QCOMPARE(s.sim.logLines("FAULT").size(), 1);
        QTEST(s.events.repairs, "repairs");
        // In step afterwards: the next exchange is plain.
        QCOMPARE(s.files->RefreshListing().rows.size(), operation == Operation::Put ? 4 : 3);
        QVERIFY(s.events.losses.isEmpty());
    }

    // The second packet of a download and its two resends arrive damaged: the third bad
    // reply in a row ends the link, and a new connect procedure starts afresh.
    void reconnectAfterALostLink()
    {
        PhonesimSession s;
        const QByteArray content = randomBytes(3000, 19);
        QVERIFY(connectWith(s, {"--flip-tx", "6,7,8"}, content));
        QVERIFY_THROWS_EXCEPTION(LinkLost, operate(s, Operation::Get, content));
        QCOMPARE(s.events.losses, QList<LinkLoss>{LinkLoss::BadData});
        // Nothing damaged was acknowledged.
        const QStringList log = s.sim.logLines();
        const qsizetype fault = log.indexOf(s.sim.logLines("FAULT").value(0));
        QVERIFY(fault >= 0);
        QVERIFY(
            std::none_of(log.begin() + fault, log.end(), [](const QString &line) { return line.startsWith("ACK"); }));
        FolderListing root;
        QVERIFY(s.session->connect([&root](const FolderListing &listing) { root = listing; }).ok());
        QCOMPARE(root.rows.size(), 3);
    }

    void slowPhoneAtConnect_data()
    {
        QTest::addColumn<QStringList>("faults");
        QTest::addColumn<bool>("connects");
        // With the pauses at a tenth: 50 ms after an AT command, 60 ms after a set-up frame,
        // up to twice 60 ms after the CONNECT; then up to 200 ms more for the rest.
        auto late = [](const char *exchange, const char *delay) {
            return QStringList{"--fault-on", exchange, "--delay-byte", delay};
        };
        QTest::newRow("wake-up answered late") << late("at:1", "0:150") << true;
        QTest::newRow("set-up frame answered in two parts") << late("setup:1", "2:150") << true;
        QTest::newRow("CONNECT answer late") << late("connect", "40:250") << true;
        QTest::newRow("wake-up answered too late") << late("at:1", "0:600") << false;
    }

    void slowPhoneAtConnect()
    {
        QFETCH(QStringList, faults);
        QFETCH(bool, connects);
        PhonesimSession s;
        QCOMPARE(s.connect(faults), connects);
        if (connects)
            QCOMPARE(s.rootListing.rows.size(), 2);
        else
            QCOMPARE(s.events.log.filter("failed"), QStringList{"failed AT"});
    }

    // The recorded x55/x60 phones append to a file sent again (3000 + 100 read back as
    // 3100); a replace leaves the new bytes alone under the name, in any letter case.
    void replaceLeavesOnlyTheNewBytes_data()
    {
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<QString>("stored");
        QTest::addColumn<QString>("sent");
        QTest::addColumn<bool>("learnMovesRefused"); // a refused move comes first
        QTest::addColumn<PhoneResult::Code>("status");
        QTest::addColumn<QStringList>("files"); // what the folder holds afterwards
        using S = PhoneResult::Code;
        QTest::newRow("new name: a plain upload") << QStringList{} << "x.txt"
                                                  << "a.txt" << false << S::Done << QStringList{"a.txt", "x.txt"};
        QTest::newRow("appending phone") << QStringList{} << "a.txt"
                                         << "a.txt" << false << S::Done << QStringList{"a.txt"};
        QTest::newRow("replacing phone") << QStringList{"--overwrite", "replace"} << "a.txt"
                                         << "a.txt" << false << S::Done << QStringList{"a.txt"};
        QTest::newRow("other letter case") << QStringList{} << "a.txt"
                                           << "A.TXT" << false << S::Done << QStringList{"A.TXT"};
        QTest::newRow("Cyrillic in other case") << QStringList{} << "Файл.txt"
                                                << "ФАЙЛ.TXT" << false << S::Done << QStringList{"ФАЙЛ.TXT"};
        QTest::newRow("moves refused: delete, then upload") << QStringList{"--refuse-move", "C3"} << "a.txt"
                                                            << "a.txt" << false << S::Done << QStringList{"a.txt"};
        QTest::newRow("moves known refused: delete, then upload") << QStringList{"--refuse-move", "C3"} << "a.txt"
                                                                  << "a.txt" << true << S::Done << QStringList{"a.txt"};
        QTest::newRow("upload refused: the old file stays") << QStringList{"--refuse-put", "C3"} << "a.txt"
                                                            << "a.txt" << false << S::Refused << QStringList{"a.txt"};
        QTest::newRow("phone full: the old file stays") << QStringList{"--memory", "3500"} << "a.txt"
                                                        << "a.txt" << false << S::Full << QStringList{"a.txt"};
        QTest::newRow("moves and uploads refused: the old file is gone")
            << QStringList{"--refuse-move", "C3", "--refuse-put", "C3"} << "a.txt"
            << "a.txt" << true << S::OldFileLost << QStringList{};
    }

    void replaceLeavesOnlyTheNewBytes()
    {
        QFETCH(QStringList, options);
        QFETCH(QString, stored);
        QFETCH(QString, sent);
        QFETCH(bool, learnMovesRefused);
        QFETCH(PhoneResult::Code, status);
        QFETCH(QStringList, files);
        PhonesimSession s;
        QVERIFY(writeFile(s.flash() + u'/' + stored, OldBytes));
        QVERIFY(s.connect(options));
        if (learnMovesRefused)
            QCOMPARE(s.session->move({}, "Bitmap", {}, "Pictures").code(), PhoneResult::Code::Refused);
        QCOMPARE(s.session->replace({}, *Cp1251::encode(sent), NewBytes).code(), status);
        QCOMPARE(flashFiles(s).keys(), files);
        // The new bytes under the name; the old ones where the upload was refused.
        if (!files.isEmpty())
            QCOMPARE(flashFiles(s).value(sent), status == PhoneResult::Code::Done ? NewBytes : OldBytes);
        // A name the folder does not hold gets the one upload it always got.
        if (QTest::currentDataTag() == QByteArray("new name: a plain upload"))
            QCOMPARE(s.sim.logLines("PUT name=").size(), 1);
    }

    // A rename onto an existing file moves it aside first: a phone that refuses the move
    // command loses nothing (the mount answers EXDEV and mv copies instead).
    void renameOntoAnExistingFile_data()
    {
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<QString>("target");
        QTest::addColumn<PhoneResult::Code>("status");
        QTest::addColumn<QStringList>("files");
        QTest::addColumn<QByteArray>("targetBytes");
        using S = PhoneResult::Code;
        QTest::newRow("replaced") << QStringList{} << "b.txt" << S::Done << QStringList{"b.txt"} << NewBytes;
        QTest::newRow("replaced, other case")
            << QStringList{} << "B.TXT" << S::Done << QStringList{"B.TXT"} << NewBytes;
        QTest::newRow("moves refused: both stay")
            << QStringList{"--refuse-move", "C3"} << "b.txt" << S::Refused << QStringList{"a.txt", "b.txt"} << OldBytes;
        QTest::newRow("only the letter case changes")
            << QStringList{} << "A.TXT" << S::Done << QStringList{"A.TXT"} << NewBytes;
    }

    void renameOntoAnExistingFile()
    {
        QFETCH(QStringList, options);
        QFETCH(QString, target);
        QFETCH(QStringList, files);
        PhonesimSession s;
        QVERIFY(writeFile(s.flash() + QStringLiteral("/a.txt"), NewBytes));
        if (!target.startsWith(u'A'))
            QVERIFY(writeFile(s.flash() + QStringLiteral("/b.txt"), OldBytes));
        QVERIFY(s.connect(options));
        QTEST(s.session->moveReplacing({}, "a.txt", {}, *Cp1251::encode(target)).code(), "status");
        QCOMPARE(flashFiles(s).keys(), files);
        QTEST(flashFiles(s).value(files.last()), "targetBytes");
    }

    // A link lost between the steps of a replace leaves both versions on the phone, under
    // the name or a hidden one beside it.
    void linkLostBetweenTheSteps_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::newRow("after the upload") << "move:1";
        QTest::newRow("after the old file went aside") << "move:2";
    }

    void linkLostBetweenTheSteps()
    {
        QFETCH(QString, fault);
        PhonesimSession s;
        QVERIFY(writeFile(s.flash() + QStringLiteral("/a.txt"), OldBytes));
        QVERIFY(s.connect({"--fault-on", fault, "--silent-after", "0"}));
        s.link->setTimeoutInterval(1000);
        QCOMPARE(s.session->replace({}, "a.txt", NewBytes).code(), PhoneResult::Code::LinkLost);
        // Lost until the next connect: nothing more goes to the phone.
        const QStringList before = settledLog(s);
        FolderListing listing;
        QCOMPARE(s.session->list({}, &listing).code(), PhoneResult::Code::LinkLost);
        QCOMPARE(settledLog(s), before);
        const QList<QByteArray> contents = flashFiles(s).values();
        QVERIFY(contents.contains(NewBytes));
        QVERIFY(contents.contains(OldBytes));
    }

    // The recorded x55/x60 phones take packets of 474 bytes: every packet of an upload
    // stays within the figure the phone announces (phonesim refuses a longer one with CD).
    void smallPhoneTakesUploads_data()
    {
        QTest::addColumn<int>("packet");
        QTest::addColumn<int>("nameLength");
        QTest::addColumn<int>("size");
        QTest::newRow("474, short name") << 474 << 5 << 3000;
        QTest::newRow("474, 227-character name") << 474 << 227 << 1500;
        QTest::newRow("300") << 300 << 20 << 2000;
        QTest::newRow("1030: pieces of 497") << 1030 << 5 << 3000;
    }

    void smallPhoneTakesUploads()
    {
        QFETCH(int, packet);
        QFETCH(int, nameLength);
        QFETCH(int, size);
        PhonesimSession s;
        QVERIFY(s.connect({"--packet", QString::number(packet)}));
        QCOMPARE(s.files->phoneMaxPacket(), std::optional<int>(packet));
        const QByteArray name = QByteArray(nameLength - 4, 'n') + ".bin";
        const QByteArray content = randomBytes(size, quint32(size));
        QCOMPARE(s.files->putData(name, content), PutResult::Sent);
        QCOMPARE(readFile(s.flash() + u'/' + QString::fromLatin1(name)), content);
        const QStringList bodies = s.sim.logLines("PUT");
        QVERIFY(!bodies.isEmpty());
        const int piece = std::min(497, packet - 9);
        QVERIFY2(bodies.value(1).contains(QStringLiteral(" body=%1 ").arg(piece)), qPrintable(bodies.value(1)));

        // Its answers to a GET as recorded at 474: 456 data bytes, then 465 (packets of 467 and 471).
        if (name.size() > ObexRequest::MaxGetName)
            return;
        const qsizetype mark = s.sim.logLines().size();
        QCOMPARE(s.files->GetFile(name), std::optional<QByteArray>(content));
        const QStringList answers = s.sim.logLines().mid(mark).filter(QStringLiteral("RSP code=90"));
        QCOMPARE(answers.value(0), QStringLiteral("RSP code=90 len=%1").arg(packet - 7));
        QCOMPARE(answers.value(1), QStringLiteral("RSP code=90 len=%1").arg(packet - 3));
    }

    // A download taken as far as its reader needs, stopped with an ABORT after three
    // answers, whichever way the phone takes the ABORT in the middle of a GET (no recording
    // shows one): what arrived is the file's start, and the phone serves the next request.
    // A download left open is read to its end, without an ABORT, before the next request.
    void downloadStoppedEarly_data()
    {
        QTest::addColumn<LinkChoice>("link");
        QTest::addColumn<QString>("abort"); // phonesim's --abort-get; "" for a download left open
        QTest::addColumn<int>("continues"); // continuation requests sent in all
        QTest::addColumn<int>("pieces"); // GET answers taken
        // A 20000-byte file comes in 44 answers (456 bytes, then 465), the last an A0.
        for (const auto &[link, mode] :
             {std::pair{LinkChoice::PlainOnly, "plain"}, std::pair{LinkChoice::BfbOnly, "BFB"}}) {
            QTest::addRow("%s, A0 at once", mode) << link << "at-once" << 2 << 3;
            QTest::addRow("%s, the piece it was sending, then A0", mode) << link << "finish" << 2 << 4;
            QTest::addRow("%s, refused: read to the end", mode) << link << "refuse" << 43 << 44;
        }
        QTest::newRow("plain, left open") << LinkChoice::PlainOnly << "" << 43 << 44;
    }

    void downloadStoppedEarly()
    {
        QFETCH(LinkChoice, link);
        QFETCH(QString, abort);
        QFETCH(int, continues);
        QFETCH(int, pieces);
        PhonesimSession s;
        const QByteArray content = randomBytes(20000, 5);
        QVERIFY(writeFile(s.flash() + QStringLiteral("/Bitmap/big.bin"), content));
        QVERIFY(writeFile(s.flash() + QStringLiteral("/small.txt"), "small"));
        QVERIFY(s.connect(abort.isEmpty() ? QStringList{} : QStringList{"--abort-get", abort}, link));

        QByteArray received;
        int taken = 0;
        const auto sink = [&](QByteArrayView piece) {
            received.append(piece);
            ++taken;
            return true;
        };
        QVERIFY(s.session->openDownload({"Bitmap"}, "big.bin", sink).ok());
        for (int i = 0; i < 2; ++i) {
            QVERIFY(s.session->downloadOpen());
            QVERIFY(s.session->continueDownload().ok());
        }
        bool whole = true;
        if (!abort.isEmpty())
            QVERIFY(s.session->stopDownload(&whole).ok());
        FolderListing listing;
        QVERIFY(s.session->list({"Bitmap"}, &listing).ok());
        QCOMPARE(listing.rows.size(), qsizetype(2)); // the parent row and big.bin
        QVERIFY(!s.session->downloadOpen());
        QCOMPARE(whole, pieces == 44);
        QCOMPARE(taken, pieces);
        QCOMPARE(received, whole ? content : content.left(received.size()));
        QCOMPARE(s.sim.logLines("ABORT").size(), qsizetype(abort.isEmpty() ? 0 : 1));
        QCOMPARE(s.sim.logLines("CONTINUE").size(), qsizetype(continues));
        QByteArray small;
        QVERIFY(s.session->get({}, "small.txt", &small).ok());
        QCOMPARE(small, QByteArray("small"));
    }

    void verifiedTransfers_data()
    {
        QTest::addColumn<QStringList>("phone"); // phonesim's options
        QTest::addColumn<bool>("upload"); // else a download of a.bin
        QTest::addColumn<bool>("held"); // the phone holds a.bin before
        QTest::addColumn<QString>("changed"); // changed on the phone after each transfer ...
        QTest::addColumn<int>("changes"); // ... this many times
        QTest::addColumn<PhoneResult::Code>("result");
        QTest::addColumn<QByteArray>("left"); // a.bin on the phone then; "-" for none
        QTest::addColumn<int>("reads"); // GETs of the file

        using Code = PhoneResult::Code;
        const QStringList s65 = {QStringLiteral("--model"), QStringLiteral("S65")};
        const QStringList s75 = {QStringLiteral("--model"), QStringLiteral("S75")};
        const QStringList noDeletes = s65 + QStringList{QStringLiteral("--refuse-delete"), QStringLiteral("C3")};
        // Downloads: read until two reads agree, three at most.
        QTest::newRow("download read alike") << s65 << false << true << "" << 0 << Code::Done << QByteArray("old") << 2;
        QTest::newRow("download, the second and third alike")
            << s65 << false << true << "a.bin" << 1 << Code::Done << QByteArray("oldchanged") << 3;
        QTest::newRow("download, three reads unlike")
            << s65 << false << true << "a.bin" << 2 << Code::VerifyFailed << QByteArray("oldchangedchanged") << 3;
        // Uploads: read back under a hidden name, once more when it differs, then gone.
        QTest::newRow("upload read back") << s65 << true << false << "" << 0 << Code::Done << QByteArray("new") << 1;
        QTest::newRow("upload read back wrong once")
            << s65 << true << false << ".~new~a.bin" << 1 << Code::Done << QByteArray("new") << 2;
        QTest::newRow("upload read back wrong twice")
            << s65 << true << false << ".~new~a.bin" << 2 << Code::VerifyFailed << QByteArray("-") << 2;
        // Under a hidden name first: the old file stays as it was.
        QTest::newRow("replace read back wrong twice")
            << s65 << true << true << ".~new~a.bin" << 2 << Code::VerifyFailed << QByteArray("old") << 2;
        // One PUT over the name on an x75: the old file is gone with the wrong copy.
        QTest::newRow("x75 replace read back wrong once")
            << s75 << true << true << "a.bin" << 1 << Code::Done << QByteArray("new") << 2;
        QTest::newRow("x75 replace read back wrong twice")
            << s75 << true << true << "a.bin" << 2 << Code::OldFileLost << QByteArray("-") << 2;
        // A wrong copy the phone will not delete is named, and it is not under the name.
        QTest::newRow("wrong copy not deleted")
            << noDeletes << true << false << ".~new~a.bin" << 1 << Code::VerifyFailed << QByteArray("-") << 1;
    }

    // With verification nothing wrong is reported as right, and nothing wrong stays under the
    // file's name: the phone's file is changed behind the program's back to stand for a
    // damaged transfer.
    void verifiedTransfers()
    {
        QFETCH(QStringList, phone);
        QFETCH(bool, upload);
        QFETCH(bool, held);
        QFETCH(QString, changed);
        QFETCH(int, changes);
        QFETCH(PhoneResult::Code, result);
        QFETCH(QByteArray, left);
        QFETCH(int, reads);
        SimSession s;
        if (held)
            QVERIFY(writeFile(s.flash(QStringLiteral("a.bin")), "old"));
        const QString source = s.dir.filePath(QStringLiteral("a.bin"));
        QVERIFY(writeFile(source, "new"));
        const std::unique_ptr<Checksum> crc = makeChecksum();
        QVERIFY(s.connect(*crc, phone));
        s.session->setVerify(true);
        s.events.finished = [&](PhoneOperation operation) {
            if (operation != (upload ? PhoneOperation::Upload : PhoneOperation::Download) || changes == 0)
                return;
            --changes;
            const QString path = s.flash(changed);
            writeFile(path, readFile(path) + "changed");
        };
        QByteArray got;
        const PhoneResult done = upload ? s.session->replace(source, {}) : s.session->get({}, "a.bin", &got);
        QCOMPARE(done.code(), result);
        QCOMPARE(readFile(s.flash(QStringLiteral("a.bin"))), left == "-" ? QByteArray("<missing>") : left);
        if (!upload)
            QCOMPARE(got, result == PhoneResult::Code::Done ? left : QByteArray());
        const bool kept = phone.contains(QStringLiteral("--refuse-delete"));
        if (kept)
            QCOMPARE(done.name(), QByteArray(".~new~a.bin"));
        QCOMPARE(s.sim.logLines(QStringLiteral("GET name=")).size(), qsizetype(reads));
        // No hidden copy stays, but the one the phone would not delete.
        QCOMPARE(QDir(s.flash()).entryList(QDir::Files | QDir::Hidden).filter(QStringLiteral("~")),
                 kept ? QStringList{QStringLiteral(".~new~a.bin")} : QStringList());
    }

private:
    PhonesimSession shared; // the round trips' connection
};

QTEST_GUILESS_MAIN(ObexPhonesim)
#include "tst_obex_phonesim.moc"
