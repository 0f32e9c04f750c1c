// Round trips through the emulated phone: one connection (the real connect
// procedure, pauses shortened) serves many operations of PhoneFiles.

#include "cp1251.h"
#include "obextestsupport.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

class ObexPhonesim : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void rootAfterConnect();
    void roundTrips_data();
    void roundTrips();
    void listingOfSeveralPackets();
    void dataOnlyBeforeAnEmptyFinalResponse();
    void refusals();
    void reconnectAfterALostLink();

private:
    PhonesimSession main;
};

void ObexPhonesim::initTestCase()
{
    QVERIFY(main.connect());
}

void ObexPhonesim::rootAfterConnect()
{
    const FolderListing &root = main.rootListing;
    QCOMPARE(root.pathLine, QStringLiteral("Mobile:\\Root\\"));
    QCOMPARE(main.files->PathStack(), QList<QByteArray>{"Root"});
    QCOMPARE(root.rows.size(), 2);
    QCOMPARE(root.rows[0].kind, EntryKind::BitmapFolder);
    QCOMPARE(root.rows[1].kind, EntryKind::RingingToneFolder);
    QCOMPARE(main.files->totalMemory(), std::optional<quint32>(1572864));
    QCOMPARE(main.events.total, std::optional<quint32>(1572864));
}

void ObexPhonesim::roundTrips_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<bool>("asked");
    for (int size : {0, 496, 497, 994, 40000})
        QTest::addRow("%d bytes", size) << size << false;
    QTest::addRow("152676 bytes, 150 kB staged") << 152676 << false;
    QTest::addRow("152677 bytes, asked") << 152677 << true;
}

void ObexPhonesim::roundTrips()
{
    QFETCH(int, size);
    QFETCH(bool, asked);
    const QString fileName = QStringLiteral("f%1.bin").arg(size);
    const QByteArray content = randomBytes(size, quint32(size));
    QVERIFY(writeFile(main.local(fileName), content));

    QVERIFY(main.files->ObexSetPath("Bitmap"));
    const int questionsBefore = main.events.questions;
    QCOMPARE(main.files->PutFile(main.local(fileName)), PutResult::Sent);
    QCOMPARE(main.events.questions - questionsBefore, asked ? 1 : 0);
    QCOMPARE(readFile(main.flash() + QStringLiteral("/Bitmap/") + fileName), content);

    const auto back = main.files->GetFile(fileName.toLatin1());
    QVERIFY(back);
    QCOMPARE(*back, content);
    QVERIFY(main.files->ObexSetPathUp());
    QCOMPARE(main.files->PathStack(), QList<QByteArray>{"Root"});
    QVERIFY(PhoneLinkTestAccess::idleMonitorRunning(*main.link));
}

void ObexPhonesim::listingOfSeveralPackets()
{
    QDir(main.flash()).mkpath(QStringLiteral("Many"));
    for (int i = 0; i < 60; ++i)
        QVERIFY(
            writeFile(main.flash() + QStringLiteral("/Many/a-rather-long-file-name-%1.txt").arg(i, 2, 10, QChar(u'0')),
                      QByteArray(i, 'x')));
    QVERIFY(main.files->ObexSetPath("Many"));
    main.events.log.clear();
    const FolderListing listing = main.files->RefreshListing();
    QCOMPARE(listing.pathLine, QStringLiteral("Mobile:\\Root\\Many\\"));
    QCOMPARE(listing.rows.size(), 61);
    QCOMPARE(listing.rows[0].kind, EntryKind::Parent);
    QCOMPARE(listing.rows[60].name, QByteArray("a-rather-long-file-name-59.txt"));
    QCOMPARE(listing.rows[60].size, QStringLiteral("59b"));
    QVERIFY(main.events.log.contains(QStringLiteral("received listing 2")));
    QVERIFY(main.files->ObexSetPathUp());
}

void ObexPhonesim::dataOnlyBeforeAnEmptyFinalResponse()
{
    PhonesimSession session;
    const QByteArray content = randomBytes(40000, 11);
    QVERIFY(writeFile(session.flash() + QStringLiteral("/Bitmap/big.bin"), content));
    QVERIFY(session.connect({QStringLiteral("--empty-final"), QStringLiteral("--packet"), QStringLiteral("1000")}));
    QVERIFY(session.files->ObexSetPath("Bitmap"));
    QCOMPARE(*session.files->GetFile("big.bin"), content);
    QVERIFY(session.sim.logLines(QStringLiteral("CONTINUE")).size() > 30);
}

void ObexPhonesim::refusals()
{
    PhonesimSession session;
    QVERIFY(writeFile(session.flash() + QStringLiteral("/keep.txt"), "keep"));
    QVERIFY(session.connect({QStringLiteral("--refuse-setpath"), QStringLiteral("C3"), QStringLiteral("--refuse-mkdir"),
                             QStringLiteral("C3"), QStringLiteral("--refuse-delete"), QStringLiteral("C3"),
                             QStringLiteral("--refuse-put"), QStringLiteral("C3")}));
    PhoneFiles &files = *session.files;

    QVERIFY(!files.ObexSetPath("Bitmap"));
    QCOMPARE(files.PathStack(), QList<QByteArray>{"Root"});
    const FolderListing stillRoot = files.RefreshListing();
    QCOMPARE(stillRoot.pathLine, QStringLiteral("Mobile:\\Root\\"));
    QVERIFY(stillRoot.rows[0].kind != EntryKind::Parent);

    // No step up after a refused new folder.
    const qsizetype setpaths = session.sim.logLines(QStringLiteral("SETPATH")).size();
    QVERIFY(!files.makeFolderAndReturn("NewDir"));
    QCOMPARE(session.sim.logLines(QStringLiteral("SETPATH")).size(), setpaths + 1);
    QCOMPARE(files.PathStack(), QList<QByteArray>{"Root"});

    QVERIFY(!files.DeleteObject("keep.txt"));
    QVERIFY(QFile::exists(session.flash() + QStringLiteral("/keep.txt")));

    for (int size : {10, 5000}) {
        const QString path = session.local(QStringLiteral("up%1.bin").arg(size));
        QVERIFY(writeFile(path, randomBytes(size, 5)));
        QCOMPARE(files.PutFile(path), PutResult::Refused);
        QVERIFY(PhoneLinkTestAccess::idleMonitorRunning(*session.link));
    }
    // The refused large upload got no further packet and no End.
    QVERIFY(session.sim.logLines(QStringLiteral("PUT")).last().startsWith(QLatin1String("PUT name=up5000.bin")));
    QVERIFY(!QFile::exists(session.flash() + QStringLiteral("/up5000.bin")));

    // The link is still in step with the phone.
    QVERIFY(files.RefreshListing().text.contains("keep.txt"));
}

void ObexPhonesim::reconnectAfterALostLink()
{
    PhonesimSession s;
    // The second listing (the first after the connect) is answered with garbage.
    QVERIFY(s.connect({QStringLiteral("--fault-on"), QStringLiteral("listing:2"), QStringLiteral("--garbage")}));
    QVERIFY_THROWS_EXCEPTION(LinkLost, s.files->RefreshListing());
    QCOMPARE(s.events.losses, QList<LinkLoss>{LinkLoss::BadData});
    QVERIFY(!s.link->isPortOpen());
    QCOMPARE(s.link->linkState(), LinkState::Enable);

    FolderListing root;
    QVERIFY(s.session->connect([&root](const FolderListing &listing) { root = listing; }));
    QCOMPARE(root.pathLine, QStringLiteral("Mobile:\\Root\\"));
    QCOMPARE(root.rows.size(), 2);
}

QTEST_GUILESS_MAIN(ObexPhonesim)
#include "tst_obex_phonesim.moc"
