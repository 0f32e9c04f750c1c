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

void ObexPhonesim::reconnectAfterALostLink()
{
    PhonesimSession s;
    // The second listing (the first after the connect) and its two resends arrive damaged.
    QVERIFY(s.connect({QStringLiteral("--flip-tx"), QStringLiteral("5,6,7"), QStringLiteral("--resend-after"),
                       QStringLiteral("200")}));
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
