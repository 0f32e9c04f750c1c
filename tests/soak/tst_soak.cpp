// Soak: many transfers through the emulated phone, first with one fault injected at
// random per run (silence, garbage, withheld acknowledgements, a wrong CRC, stalled
// bytes, refusals), then over a line that flips bits at random both ways. Whatever
// happens, no file is lost or corrupted: a transfer reported done is byte for byte
// the original, one that failed leaves the phone as it was (no part of an upload),
// and a fault that costs nothing costs no transfer.
//
// Last, the life of a phone that is never switched off: tarvel-cli runs killed at
// random points on one emulated phone, each followed by a normal run that must find
// the phone wherever the killed one left it and move every file exactly.
//
// TARVEL_SOAK_RUNS (default 150), TARVEL_SOAK_NOISE_TRANSFERS (default 300),
// TARVEL_SOAK_LIFECYCLES (default 10) and TARVEL_SOAK_SEED choose a longer or another
// soak; a failing run prints its plan.

#include "simsession.h"
#include "testchecksum.h"

#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTest>

#include <algorithm>

namespace {

constexpr int TimeoutMs = 400;
// On the noisy line: the receive time-out and both sides' resend waits scaled down from
// 20 s and 5 s in proportion, the phone's resend a little quicker than the program's.
// The program's resend stays above the 1 s after which phonesim drops a block that a
// damaged length left waiting for more bytes, as 5 s does: a resend sooner would keep
// feeding that block and fail every try.
constexpr int NoiseResendMs = 1200;
constexpr int NoiseTimeoutMs = 4 * NoiseResendMs;
constexpr const char *NoiseRate = "4e-6";
constexpr int NoiseTransfers = 300;
constexpr int Batch = 25;

enum class Operation {
    Get,
    GetMissing,
    Put,
    Delete
};
enum class Fault {
    None,
    BadCrc,
    ShortDelay, // these three the program must not even notice
    Silence,
    Garbage,
    NoAck,
    LongDelay,
    Refusal
};

int envCount(const char *name, int fallback)
{
    bool ok = false;
    const int value = qEnvironmentVariableIntValue(name, &ok);
    return ok && value >= 0 ? value : fallback;
}

QByteArray randomContent(QRandomGenerator &random, qint64 size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (char &b : bytes)
        b = char(random.bounded(256));
    return bytes;
}

// Small sizes most of the time; now and then one at a record boundary or a large one.
qint64 randomSize(QRandomGenerator &random)
{
    static const qint64 edges[] = {0, 1, 496, 497, 498, 994, 995, 1018, 1019, 2036};
    const int pick = random.bounded(100);
    return pick < 10 ? edges[random.bounded(int(std::size(edges)))]
        : pick < 55  ? random.bounded(600)
        : pick < 80  ? 600 + random.bounded(5000)
        : pick < 95  ? 5600 + random.bounded(45000)
                     : 50000 + random.bounded(150001);
}

// The exchange a fault hits: mostly the transfer, sometimes the ones around it.
QString faultTarget(QRandomGenerator &random, Operation operation, qint64 size)
{
    switch (random.bounded(8)) {
    case 0:
        return QStringLiteral("listing");
    case 1:
        return QStringLiteral("memory:%1").arg(1 + random.bounded(2));
    case 2:
        return QStringLiteral("setpath");
    }
    if (operation == Operation::Put)
        return QStringLiteral("put:%1").arg(1 + random.bounded(int(size / 497) + 3));
    if (operation == Operation::Delete)
        return QStringLiteral("delete");
    const int packets = int(size / 1000) + 1;
    return packets > 1 && random.bounded(2) ? QStringLiteral("continue:%1").arg(1 + random.bounded(packets - 1))
                                            : QStringLiteral("get");
}

} // namespace

class Soak : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        crc = makeChecksum();
        const quint32 seed = quint32(envCount("TARVEL_SOAK_SEED", 20261206));
        random.seed(seed);
        qInfo("soak seed %u (TARVEL_SOAK_SEED)", seed);
    }

    // In batches, each within the test framework's time limit per test function.
    void transfersUnderFaults_data() { batches(envCount("TARVEL_SOAK_RUNS", 150)); }
    void transfersUnderFaults()
    {
        QFETCH(int, first);
        QFETCH(int, last);
        for (int run = first; run <= last; ++run) {
            const QString problem = runOnce(run);
            QVERIFY2(problem.isEmpty(), qPrintable(problem));
        }
    }

    void transfersOverNoisyLine_data() { batches(envCount("TARVEL_SOAK_NOISE_TRANSFERS", NoiseTransfers)); }
    void transfersOverNoisyLine()
    {
        QFETCH(int, first);
        QFETCH(int, last);
        // Responses of 1 or 2 KB: at this rate one in 30 or 15 arrives damaged.
        QStringList options{"--noise-rx",     NoiseRate, "--noise-tx", NoiseRate,
                            "--resend-after", "300",     "--memory",   "100000000"};
        options << QStringLiteral("--seed") << QString::number(random.bounded(1000000)) << QStringLiteral("--packet")
                << QString::number(random.bounded(2) ? 2048 : 1024);
        if (random.bounded(3) == 0)
            options << QStringLiteral("--frame") << QString::number(5 + random.bounded(31));
        const QString plan =
            QStringLiteral("transfers %1-%2 [phonesim %3]").arg(first).arg(last).arg(options.join(u' '));
        SimSession s;
        bool up = s.connect(*crc, options, NoiseTimeoutMs, NoiseResendMs);
        for (int transfer = first; transfer <= last; ++transfer) {
            up = up || s.reconnect();
            QVERIFY2(up, qPrintable(plan + QStringLiteral(": no connection")));
            const bool upload = random.bounded(2) == 0;
            const int pick = random.bounded(100);
            const QByteArray content = randomContent(random,
                                                     pick < 40       ? random.bounded(1500)
                                                         : pick < 85 ? 1500 + random.bounded(10000)
                                                                     : 11500 + random.bounded(40000));
            const QByteArray name = "n" + QByteArray::number(transfer);
            const QString onPhone = s.flash(QString::fromLatin1(name));
            const QString what =
                plan + QStringLiteral(", %1 %2 bytes").arg(upload ? "upload" : "download").arg(content.size());
            if (!upload)
                QVERIFY(writeFile(onPhone, content));
            QByteArray received;
            const PhoneResult result = upload ? s.session->put({}, name, content) : s.session->get({}, name, &received);
            if (result != PhoneResult::Code::LinkLost) {
                QVERIFY2(result.ok(), qPrintable(what + QStringLiteral(": not done")));
                QVERIFY2(readFile(onPhone) == content && (upload || received == content),
                         qPrintable(what + QStringLiteral(": differs")));
            } else {
                // Given up, which a rare double fault may do: nothing half-made, nothing lost.
                ++noiseFailures;
                up = false;
                QVERIFY2(!s.session->isPortOpen(), qPrintable(what));
                QVERIFY2(!QFile::exists(onPhone) || readFile(onPhone) == content,
                         qPrintable(what + QStringLiteral(": a part of the file on the phone")));
            }
        }
        // A line that ends the link often is a fault of the link: at most one in 50 of all
        // the transfers planned may fail (three damaged answers in a row end the link).
        QVERIFY2(noiseFailures * 50 <= envCount("TARVEL_SOAK_NOISE_TRANSFERS", NoiseTransfers),
                 qPrintable(plan + QStringLiteral(": too many failures")));
    }

    void sessionsKilledAtRandom_data() { batches(envCount("TARVEL_SOAK_LIFECYCLES", 10)); }
    void sessionsKilledAtRandom()
    {
        QFETCH(int, first);
        QFETCH(int, last);
        QTemporaryDir dir;
        const QString flash = dir.filePath(QStringLiteral("flash"));
        QVERIFY(QDir().mkpath(flash) && QDir().mkpath(dir.filePath(QStringLiteral("back"))));
        // One phone for the whole mix, never switched off, slow enough to be killed mid-way.
        PhoneSim sim;
        QVERIFY(sim.start(flash, {"--baud", "57600", "--at-latency", "40", "--obex-latency", "5"}));
        const auto start = [&](QProcess &process, const QStringList &arguments, const QString &folder) {
            process.setWorkingDirectory(folder);
            startCli(process, QStringList{"--device", sim.device} + arguments);
            return process.waitForStarted();
        };
        const auto cli = [&](const QStringList &arguments, const QString &folder) {
            QProcess process;
            return start(process, arguments, folder) ? finishProcess(process, 60000) : ProcessResult{};
        };
        for (int run = first; run <= last; ++run) {
            const QString name = QStringLiteral("c%1.bin").arg(run);
            const QByteArray content = randomContent(random, 1 + random.bounded(8000));
            QVERIFY(writeFile(dir.filePath(name), content));
            // Killed while it connects, transfers or leaves: a listing, an upload of another
            // name, or a download of the last run's file.
            const QStringList killedCommands{"ls", "put killed.bin", QStringLiteral("get c%1.bin").arg(run - 1)};
            const QString killed = killedCommands[random.bounded(run == 1 ? 2 : 3)];
            const int killAfterMs = random.bounded(1500);
            const QString plan =
                QStringLiteral("run %1: \"%2\" killed after %3 ms").arg(run).arg(killed).arg(killAfterMs);
            QVERIFY(writeFile(dir.filePath(QStringLiteral("killed.bin")), randomContent(random, 30000)));
            QProcess victim;
            QVERIFY(start(victim, killed.split(u' '), dir.filePath(QStringLiteral("back"))));
            QTest::qWait(killAfterMs);
            victim.kill();
            victim.waitForFinished();

            const ProcessResult put = cli({"put", name}, dir.path());
            QVERIFY2(put.exitCode == 0, qPrintable(plan + QStringLiteral(": the upload after it: ") + put.err));
            const ProcessResult get = cli({"get", name}, dir.filePath(QStringLiteral("back")));
            QVERIFY2(get.exitCode == 0, qPrintable(plan + QStringLiteral(": the download after it: ") + get.err));
            QVERIFY2(readFile(flash + u'/' + name) == content
                         && readFile(dir.filePath(QStringLiteral("back/")) + name) == content,
                     qPrintable(plan + QStringLiteral(": a file differs")));
        }
    }

private:
    static void batches(int count)
    {
        QTest::addColumn<int>("first");
        QTest::addColumn<int>("last");
        if (count == 0)
            QTest::newRow("none") << 1 << 0;
        for (int first = 1; first <= count; first += Batch)
            QTest::addRow("%d-%d", first, std::min(count, first + Batch - 1))
                << first << std::min(count, first + Batch - 1);
    }

    // One run; empty when every rule held, else what broke.
    QString runOnce(int run)
    {
        const int op = random.bounded(20);
        Operation operation = op < 8 ? Operation::Get
            : op < 15                ? Operation::Put
            : op < 19                ? Operation::Delete
                                     : Operation::GetMissing;
        const Fault fault = Fault(random.bounded(8));
        const qint64 size = randomSize(random);
        const bool inFolder = random.bounded(3) == 0;
        if (fault == Fault::Refusal && (operation == Operation::Get || operation == Operation::GetMissing))
            operation = op % 2 ? Operation::Put : Operation::Delete; // downloads have no refusal of their own here

        // The phone's option for each fault; a delay and silence take a value.
        static const char *const faultOptions[] = {nullptr,     "--bad-crc", "--delay-byte", "--silent-after",
                                                   "--garbage", "--no-ack",  "--delay-byte", nullptr};
        QStringList options;
        if (const char *option = faultOptions[int(fault)])
            options << QLatin1String(option);
        if (fault == Fault::ShortDelay || fault == Fault::LongDelay)
            options << QString::number(random.bounded(30)) + u':'
                    + QString::number(fault == Fault::ShortDelay ? TimeoutMs / 4 : TimeoutMs * 3);
        if (fault == Fault::Silence)
            options << QString::number(random.bounded(40));
        if (fault == Fault::Refusal) {
            options << (operation == Operation::Put ? QStringLiteral("--refuse-put")
                                                    : QStringLiteral("--refuse-delete"))
                    << QStringList{"C0", "C1", "C3", "C4", "D0"}[random.bounded(5)];
        } else if (fault != Fault::None) {
            options << QStringLiteral("--fault-on") << faultTarget(random, operation, size);
        }
        // Phones cut their answers differently. Frames stay below 36 bytes (the connect
        // procedure counts on an answer to CONNECT in at least 47 bytes), and uploads need
        // packets of up to 536 bytes (a full record and the name).
        if (random.bounded(3) == 0) {
            static const int packets[] = {255, 512, 1024, 2048, 16390};
            const int smallest = operation == Operation::Put ? 2 : 0;
            options << QStringLiteral("--packet") << QString::number(packets[smallest + random.bounded(5 - smallest)]);
        }
        if (random.bounded(3) == 0)
            options << QStringLiteral("--frame") << QString::number(5 + random.bounded(31));
        if (random.bounded(5) == 0)
            options << QStringLiteral("--empty-final");
        options << QStringLiteral("--resend-after") << QString::number(TimeoutMs / 2);

        const QString plan = QStringLiteral("run %1: operation %2, %3 bytes%4, fault %5 [phonesim %6]")
                                 .arg(QString::number(run), QString::number(int(operation)), QString::number(size),
                                      inFolder ? QStringLiteral(" in Bitmap") : QString(), QString::number(int(fault)),
                                      options.join(u' '));
        SimSession s;
        const QList<QByteArray> folder = inFolder ? QList<QByteArray>{"Bitmap"} : QList<QByteArray>{};
        const QByteArray name = "f" + QByteArray::number(run) + ".bin";
        const QString phonePath = s.flash(QString::fromLatin1(inFolder ? "Bitmap/" + name : name));
        const QByteArray content = randomContent(random, size);
        QDir().mkpath(s.flash(QStringLiteral("Bitmap")));
        if (operation == Operation::Get || operation == Operation::Delete)
            writeFile(phonePath, content);

        std::optional<PhoneResult> result;
        QByteArray received;
        // A phone spoilt for good may not even connect; the rules below hold then too.
        if (s.connect(*crc, options, TimeoutMs, TimeoutMs / 2)) {
            PhoneSession &session = *s.session;
            result = operation == Operation::Put ? session.put(folder, name, content)
                : operation == Operation::Delete ? session.remove(folder, name)
                                                 : session.get(folder, name, &received);
            bool lost = *result == PhoneResult::Code::LinkLost;
            // After a refusal or a fault that costs nothing the link is still in step: the
            // listing shows the file exactly when the phone holds it.
            if ((fault <= Fault::ShortDelay || fault == Fault::Refusal) && !lost) {
                FolderListing listing;
                const PhoneResult listed = session.list(folder, &listing);
                lost = listed == PhoneResult::Code::LinkLost;
                if (!lost && !listed.ok())
                    return plan + QStringLiteral(": no listing afterwards");
                const bool held = std::any_of(listing.rows.begin(), listing.rows.end(),
                                              [&](const ListingRow &row) { return row.name == name; });
                if (!lost && held != QFile::exists(phonePath))
                    return plan + QStringLiteral(": the listing disagrees with the phone");
            }
            if (lost && (session.isPortOpen() || s.events.losses.isEmpty()))
                return plan + QStringLiteral(": the link ended without closing the port and telling");
            PhoneSessionTestAccess::link(session).closePort();
        }

        const bool done = result && result->ok();
        const QByteArray onPhone = readFile(phonePath);
        if (operation == Operation::Get && (onPhone != content || (done && received != content)))
            return plan + QStringLiteral(": a download differs or changed the phone file");
        if (operation == Operation::GetMissing && done)
            return plan + QStringLiteral(": a missing file was delivered");
        if (operation == Operation::Put && onPhone != content && (done || QFile::exists(phonePath)))
            return plan + QStringLiteral(": an upload left %1 of %2 bytes").arg(onPhone.size()).arg(size);
        // A delete whose answer was lost may have deleted; none leaves a changed file.
        if (operation == Operation::Delete && QFile::exists(phonePath) && (done || onPhone != content))
            return plan + QStringLiteral(": a delete did not do what it reported");
        if (fault <= Fault::ShortDelay && !done && operation != Operation::GetMissing)
            return plan + QStringLiteral(": failed on a harmless fault (events: %1)").arg(s.events.log.join(u'|'));
        if (fault == Fault::Refusal && done)
            return plan + QStringLiteral(": a refused request counted as done");
        return {};
    }

    std::unique_ptr<Checksum> crc;
    QRandomGenerator random;
    int noiseFailures = 0;
};

QTEST_GUILESS_MAIN(Soak)
#include "tst_soak.moc"
