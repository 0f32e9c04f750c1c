// Soak: many transfers of random sizes through the emulated phone, with faults
// injected at random (silence, garbage, refusals, a wrong CRC, withheld link
// acknowledgements, stalled bytes). Each run starts its own phonesim, connects with
// the real connect procedure (pauses and the receive time-out scaled down) and does
// one download, upload or move. Whatever happens, after every run:
//  - nothing crashed, and the run ended within its time bound;
//  - a file reported transferred is byte for byte the original;
//  - a PC file is either absent, its earlier content, or the whole download, and no
//    temporary file is left beside it;
//  - a phone file is deleted by a move only when its copy is complete on the PC;
//  - the PC source of an upload is unchanged.
//
// TARVEL_SOAK_RUNS (default 150) and TARVEL_SOAK_SEED (default below) choose the
// runs; the seed is printed, and a failing run prints its plan for reproduction.
// TARVEL_SOAK_TIMEOUT_MS sets the scaled receive time-out (default 400).
//
// Then many transfers over a noisy line: bits flipped at random in both directions, so
// that a few percent of the blocks arrive damaged. Every transfer must arrive byte for
// byte; a transfer the link gives up on must leave nothing behind. It prints what the
// line did and what the link mended. TARVEL_SOAK_NOISE_TRANSFERS (default 300) and
// TARVEL_SOAK_NOISE_RATE (the bit error rate, default 4e-6) choose them.

#include "handshake.h"
#include "phonefiles.h"
#include "phonelink.h"
#include "recordingevents.h"
#include "sumletcontrol.h"
#include "testprocess.h"
#include "workingfiles.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QSaveFile>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <map>
#include <memory>
#include <optional>

namespace {

constexpr quint32 DefaultSeed = 20261206;
constexpr int DefaultRuns = 150;
constexpr int DefaultTimeoutMs = 400;
constexpr int QuietMs = 20;
constexpr int DefaultNoiseTransfers = 300;
constexpr double DefaultNoiseRate = 4e-6;
// On the noisy line: the receive time-out and both sides' resend waits, scaled down from
// 20 s and 5 s in proportion, the phone's resend a little quicker than the program's.
constexpr int NoiseTimeoutMs = 2400;
constexpr int NoiseResendMs = 600;
constexpr int NoisePhoneResendMs = 300;
// A run must end well within this, whatever the phone does.
constexpr qint64 RunLimitMs = 30000;

enum class Operation {
    Get,
    GetMissing,
    Put,
    Move
};
enum class Fault {
    None,
    Silence,
    Garbage,
    NoAck,
    BadCrc,
    ShortDelay,
    LongDelay,
    Refusal
};
enum class Outcome {
    Transferred,
    Moved,
    KeptOnPhone,
    Refused,
    NotDelivered,
    LinkEnded,
    NoConnection
};

const char *name(Operation operation)
{
    switch (operation) {
    case Operation::Get:
        return "get";
    case Operation::GetMissing:
        return "get-missing";
    case Operation::Put:
        return "put";
    case Operation::Move:
        return "move";
    }
    return "?";
}

const char *name(Fault fault)
{
    switch (fault) {
    case Fault::None:
        return "none";
    case Fault::Silence:
        return "silence";
    case Fault::Garbage:
        return "garbage";
    case Fault::NoAck:
        return "no-ack";
    case Fault::BadCrc:
        return "bad-crc";
    case Fault::ShortDelay:
        return "short-delay";
    case Fault::LongDelay:
        return "long-delay";
    case Fault::Refusal:
        return "refusal";
    }
    return "?";
}

const char *name(Outcome outcome)
{
    switch (outcome) {
    case Outcome::Transferred:
        return "transferred";
    case Outcome::Moved:
        return "moved";
    case Outcome::KeptOnPhone:
        return "kept-on-phone";
    case Outcome::Refused:
        return "refused";
    case Outcome::NotDelivered:
        return "not-delivered";
    case Outcome::LinkEnded:
        return "link-ended";
    case Outcome::NoConnection:
        return "no-connection";
    }
    return "?";
}

// Faults the program must not even notice.
bool harmless(Fault fault)
{
    return fault == Fault::None || fault == Fault::BadCrc || fault == Fault::ShortDelay;
}

struct Plan
{
    int run = 0;
    Operation operation = Operation::Get;
    qint64 size = 0;
    bool inFolder = false; // in Bitmap rather than the root
    bool previousPcFile = false; // the download replaces an older PC file
    Fault fault = Fault::None;
    QStringList simOptions;

    QString text() const
    {
        return QStringLiteral("run %1: %2 of %3 bytes%4%5, fault %6 [phonesim %7]")
            .arg(run)
            .arg(QLatin1String(name(operation)))
            .arg(size)
            .arg(inFolder ? QStringLiteral(" in Bitmap") : QString())
            .arg(previousPcFile ? QStringLiteral(", replacing a PC file") : QString())
            .arg(QLatin1String(name(fault)))
            .arg(simOptions.join(u' '));
    }
};

// Small sizes most of the time; now and then one near a record boundary or large.
qint64 randomSize(QRandomGenerator &random)
{
    const int pick = random.bounded(100);
    if (pick < 10) {
        static const qint64 edges[] = {0, 1, 496, 497, 498, 994, 995, 1018, 1019, 2036};
        return edges[random.bounded(int(std::size(edges)))];
    }
    if (pick < 55)
        return random.bounded(600);
    if (pick < 80)
        return 600 + random.bounded(5000);
    if (pick < 95)
        return 5600 + random.bounded(45000);
    return 50000 + random.bounded(150001);
}

// Packets that carry the file one way or the other, roughly.
int packetsFor(const Plan &plan)
{
    if (plan.operation == Operation::Put)
        return int(plan.size / 497) + 3;
    return int(plan.size / 1000) + 1;
}

QString selector(QRandomGenerator &random, const Plan &plan)
{
    QStringList kinds{QStringLiteral("listing"), QStringLiteral("memory")};
    if (plan.inFolder)
        kinds << QStringLiteral("setpath");
    const int packets = packetsFor(plan);
    QString main;
    switch (plan.operation) {
    case Operation::Put:
        main = QStringLiteral("put:%1").arg(1 + random.bounded(packets));
        break;
    case Operation::Move:
        if (random.bounded(3) == 0) {
            main = QStringLiteral("delete");
            break;
        }
        [[fallthrough]];
    case Operation::Get:
    case Operation::GetMissing:
        main = packets > 1 && random.bounded(2) ? QStringLiteral("continue:%1").arg(1 + random.bounded(packets - 1))
                                                : QStringLiteral("get");
        break;
    }
    // Mostly the transfer itself, sometimes the exchanges around it.
    if (random.bounded(4) == 0) {
        const QString kind = kinds[random.bounded(int(kinds.size()))];
        return kind == u"memory" ? QStringLiteral("memory:%1").arg(1 + random.bounded(2)) : kind;
    }
    return main;
}

Plan makePlan(QRandomGenerator &random, int run, int timeoutMs)
{
    Plan plan;
    plan.run = run;
    const int op = random.bounded(20);
    plan.operation = op < 7 ? Operation::Get
        : op < 14           ? Operation::Put
        : op < 19           ? Operation::Move
                            : Operation::GetMissing;
    plan.size = randomSize(random);
    plan.inFolder = random.bounded(3) == 0;
    plan.previousPcFile = plan.operation != Operation::Put && random.bounded(2);

    const int pick = random.bounded(100);
    plan.fault = pick < 25 ? Fault::None
        : pick < 37        ? Fault::Silence
        : pick < 47        ? Fault::Garbage
        : pick < 57        ? Fault::NoAck
        : pick < 65        ? Fault::BadCrc
        : pick < 73        ? Fault::ShortDelay
        : pick < 81        ? Fault::LongDelay
                           : Fault::Refusal;
    if (plan.fault == Fault::Refusal && plan.operation == Operation::Get)
        plan.operation = Operation::Move; // downloads have no refusal of their own here
    if (plan.fault == Fault::Refusal && plan.operation == Operation::GetMissing)
        plan.operation = Operation::Put;

    const QString code = QStringList{QStringLiteral("C0"), QStringLiteral("C1"), QStringLiteral("C3"),
                                     QStringLiteral("C4"), QStringLiteral("D0")}[random.bounded(5)];
    switch (plan.fault) {
    case Fault::None:
        break;
    case Fault::Silence:
        plan.simOptions << QStringLiteral("--silent-after") << QString::number(random.bounded(40));
        break;
    case Fault::Garbage:
        plan.simOptions << QStringLiteral("--garbage");
        break;
    case Fault::NoAck:
        plan.simOptions << QStringLiteral("--no-ack");
        break;
    case Fault::BadCrc:
        plan.simOptions << QStringLiteral("--bad-crc");
        break;
    case Fault::ShortDelay:
        plan.simOptions << QStringLiteral("--delay-byte")
                        << QStringLiteral("%1:%2").arg(random.bounded(30)).arg(timeoutMs / 4);
        break;
    case Fault::LongDelay:
        plan.simOptions << QStringLiteral("--delay-byte")
                        << QStringLiteral("%1:%2").arg(random.bounded(30)).arg(timeoutMs * 3);
        break;
    case Fault::Refusal:
        if (plan.operation == Operation::Put)
            plan.simOptions << QStringLiteral("--refuse-put") << code;
        else
            plan.simOptions << QStringLiteral("--refuse-delete") << code;
        break;
    }
    if (plan.fault != Fault::None && plan.fault != Fault::Refusal)
        plan.simOptions << QStringLiteral("--fault-on") << selector(random, plan);

    // Phones cut their answers differently: packet and frame sizes, data in the final
    // packet or not. Frames stay below 36 bytes: the connect procedure counts on an
    // answer to CONNECT in at least 47 bytes, which a single frame would not give.
    // Uploads need the phone to take packets of up to 536 bytes here (a full record
    // and the name), as the program does not cut them to the phone's announced size.
    if (random.bounded(3) == 0) {
        static const int packets[] = {255, 512, 1024, 2048, 16390};
        const int smallest = plan.operation == Operation::Put ? 2 : 0;
        plan.simOptions << QStringLiteral("--packet")
                        << QString::number(packets[smallest + random.bounded(5 - smallest)]);
    }
    if (random.bounded(3) == 0)
        plan.simOptions << QStringLiteral("--frame") << QString::number(5 + random.bounded(31));
    if (random.bounded(5) == 0)
        plan.simOptions << QStringLiteral("--empty-final");
    // A phone sends an unacknowledged block again well within the receive time-out.
    plan.simOptions << QStringLiteral("--resend-after") << QString::number(timeoutMs / 2);
    return plan;
}

QByteArray randomBytes(QRandomGenerator &random, qint64 size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (char &b : bytes)
        b = char(random.bounded(256));
    return bytes;
}

std::optional<QByteArray> fileContent(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    return file.readAll();
}

struct Tally
{
    std::map<QString, std::map<QString, int>> byFault; // fault -> outcome -> runs
    std::map<QString, qint64> slowestMs; // fault -> slowest run
    std::map<QString, int> byOperation;
    qint64 bytes = 0;
    int runs = 0;
};

// What the noisy line did and what the link mended, over all its transfers.
struct NoiseTally
{
    int transfers = 0;
    qint64 bytes = 0;
    int blocksToPhone = 0;
    int blocksToPc = 0;
    int flippedToPhone = 0; // bits flipped on the way to the phone
    int flippedToPc = 0;
    int hitAtPhone = 0; // the phone's log lines of damaged frames and blocks dropped
    int hitAtPc = 0; // damaged replies the program dropped
    int resendsByPc = 0;
    int resendsByPhone = 0;
    int repeatsAtPc = 0; // blocks of the phone's acknowledged again
    int repeatsAtPhone = 0;
    int failures = 0; // transfers the link gave up on
    int connectRetries = 0;
};

// Mostly small files, a good part of several packets, now and then a large one.
qint64 noisySize(QRandomGenerator &random)
{
    const int pick = random.bounded(100);
    if (pick < 40)
        return random.bounded(1500);
    if (pick < 85)
        return 1500 + random.bounded(10000);
    return 11500 + random.bounded(40000);
}

} // namespace

class Soak : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    // Batches of runs, each within the test framework's time limit per test function.
    void transfersUnderFaults_data();
    void transfersUnderFaults();
    // Batches of transfers, each batch over one noisy line.
    void transfersOverNoisyLine_data();
    void transfersOverNoisyLine();
    void cleanupTestCase();

private:
    // One run; false (with the reason in *problem) when an invariant broke.
    bool runOnce(const Plan &plan, QRandomGenerator &generator, Outcome *outcome, QString *problem);

    std::unique_ptr<SumletControl> crc;
    int timeoutMs = DefaultTimeoutMs;
    int connectRetries = 0;
    int runs = DefaultRuns;
    quint32 seed = DefaultSeed;
    QRandomGenerator random;
    Tally tally;
    QElapsedTimer total;
    int noiseTransfers = DefaultNoiseTransfers;
    double noiseRate = DefaultNoiseRate;
    NoiseTally noise;
    QElapsedTimer noiseClock; // time spent on the noisy line
    qint64 faultRunsMs = -1; // time spent on the runs with faults, once the noisy line began
};

void Soak::initTestCase()
{
    QString error;
    crc = SumletControl::create(&error);
    QVERIFY2(crc, qPrintable(error));
    bool ok = false;
    const int timeout = qEnvironmentVariableIntValue("TARVEL_SOAK_TIMEOUT_MS", &ok);
    if (ok && timeout > 0)
        timeoutMs = timeout;
    const int count = qEnvironmentVariableIntValue("TARVEL_SOAK_RUNS", &ok);
    if (ok && count > 0)
        runs = count;
    const quint32 chosenSeed = quint32(qEnvironmentVariableIntValue("TARVEL_SOAK_SEED", &ok));
    if (ok)
        seed = chosenSeed;
    random.seed(seed);
    qInfo("soak: %d runs, seed %u, receive time-out %d ms (TARVEL_SOAK_RUNS, TARVEL_SOAK_SEED)", runs, seed, timeoutMs);
    const int transfers = qEnvironmentVariableIntValue("TARVEL_SOAK_NOISE_TRANSFERS", &ok);
    if (ok && transfers >= 0)
        noiseTransfers = transfers;
    const double rate = qEnvironmentVariable("TARVEL_SOAK_NOISE_RATE").toDouble(&ok);
    if (ok && rate > 0)
        noiseRate = rate;
    total.start();
}

bool Soak::runOnce(const Plan &plan, QRandomGenerator &generator, Outcome *outcome, QString *problem)
{
    QTemporaryDir dir;
    if (!dir.isValid()) {
        *problem = QStringLiteral("no temporary folder");
        return false;
    }
    const QString flash = dir.filePath(QStringLiteral("flash"));
    const QString pc = dir.filePath(QStringLiteral("pc"));
    QDir().mkpath(flash + QStringLiteral("/Bitmap"));
    QDir().mkpath(flash + QStringLiteral("/Ringing tone"));
    QDir().mkpath(pc);

    const QByteArray phoneName = QStringLiteral("f%1.bin").arg(plan.run).toLatin1();
    const QString phoneFolder = plan.inFolder ? flash + QStringLiteral("/Bitmap") : flash;
    const QString phonePath = phoneFolder + u'/' + QString::fromLatin1(phoneName);
    const QString pcPath = localFilePath(pc, QString::fromLatin1(phoneName));
    const QByteArray content = randomBytes(generator, plan.size);
    const QByteArray previous = "an older file of the same name";

    if (plan.operation == Operation::Put) {
        if (!writeFile(pcPath, content)) {
            *problem = QStringLiteral("cannot write the source");
            return false;
        }
    } else {
        if (plan.operation != Operation::GetMissing && !writeFile(phonePath, content)) {
            *problem = QStringLiteral("cannot write the phone file");
            return false;
        }
        if (plan.previousPcFile && !writeFile(pcPath, previous)) {
            *problem = QStringLiteral("cannot write the older PC file");
            return false;
        }
    }

    PhoneSim sim;
    if (!sim.start(flash, plan.simOptions)) {
        *problem = QStringLiteral("phonesim did not start");
        return false;
    }
    RecordingEvents events; // answers every size question yes
    PhoneLink link(*crc, events);
    PhoneFiles files(link);
    files.setWorkingDirectory(dir.path());
    link.setDevicePath(sim.device);
    link.setTimeoutInterval(timeoutMs);
    link.setResendInterval(timeoutMs / 2);
    link.setQuietInterval(QuietMs);

    bool reportedDone = false; // the operation said it completed
    bool deleteReported = false;
    try {
        bool connected = false;
        // The connect procedure reads the phone's answers after fixed pauses; on a busy
        // machine the shortened ones can be too short, so it tries again with longer ones.
        for (const double scale : {0.05, 0.2, 1.0}) {
            link.setPauseScale(scale);
            PhoneConnector(link).run([&] {
                connected = true;
                files.enterRootAndRefresh();
            });
            if (connected)
                break;
            ++connectRetries;
        }
        if (!connected) {
            *outcome = Outcome::NoConnection;
        } else if (plan.inFolder && !files.ObexSetPath("Bitmap")) {
            *outcome = Outcome::Refused;
        } else if (plan.operation == Operation::Put) {
            const PutResult result = files.PutFile(pcPath);
            reportedDone = result == PutResult::Sent;
            *outcome = reportedDone ? Outcome::Transferred : Outcome::Refused;
        } else {
            // As the program saves a download: beside its destination, renamed when whole.
            std::optional<QSaveFile> download;
            download.emplace(pcPath);
            if (!download->open(QIODevice::WriteOnly)) {
                *problem = QStringLiteral("cannot open the download: ") + download->errorString();
                return false;
            }
            const auto received = files.GetFile(phoneName);
            if (!received) {
                *outcome = Outcome::NotDelivered;
            } else if (download->write(*received) != received->size() || !download->commit()) {
                *problem = QStringLiteral("cannot save the download: ") + download->errorString();
                return false;
            } else {
                reportedDone = true;
                *outcome = Outcome::Transferred;
                // A move deletes the phone file only once the PC copy reads back whole.
                if (plan.operation == Operation::Move) {
                    if (fileContent(pcPath) == *received) {
                        deleteReported = files.DeleteObject(phoneName);
                        *outcome = deleteReported ? Outcome::Moved : Outcome::KeptOnPhone;
                    } else {
                        *outcome = Outcome::KeptOnPhone;
                    }
                }
            }
        }
        // After a refusal or a fault that costs nothing the link is still in step:
        // a fresh listing shows the phone file exactly when the phone holds it.
        if (connected && (plan.fault == Fault::Refusal || harmless(plan.fault))) {
            const FolderListing listing = files.RefreshListing();
            const bool listed = std::any_of(listing.rows.begin(), listing.rows.end(),
                                            [&](const ListingRow &row) { return row.name == phoneName; });
            if (listed != QFile::exists(phonePath)) {
                *problem = QStringLiteral("the listing after the transfer %1 the file")
                               .arg(listed ? QStringLiteral("shows a missing") : QStringLiteral("misses"));
                return false;
            }
        }
        link.closePort();
    } catch (const LinkLost &) {
        *outcome = Outcome::LinkEnded;
        if (link.isPortOpen()) {
            *problem = QStringLiteral("the port stayed open after the link ended");
            return false;
        }
        if (events.losses.isEmpty()) {
            *problem = QStringLiteral("the link ended without telling");
            return false;
        }
    }

    const auto onPhone = fileContent(phonePath);
    const auto onPc = fileContent(pcPath);
    if (plan.operation == Operation::Put) {
        if (onPc != content) {
            *problem = QStringLiteral("the upload changed its PC source");
            return false;
        }
        if (reportedDone && onPhone != content) {
            *problem = QStringLiteral("an upload reported sent differs on the phone (%1 of %2 bytes)")
                           .arg(onPhone ? onPhone->size() : -1)
                           .arg(content.size());
            return false;
        }
    } else {
        if (reportedDone && onPc != content) {
            *problem = QStringLiteral("a download reported done differs from the phone file (%1 of %2 bytes)")
                           .arg(onPc ? onPc->size() : -1)
                           .arg(content.size());
            return false;
        }
        const bool pcAsBefore = plan.previousPcFile ? onPc == previous : !onPc.has_value();
        if (!reportedDone && !pcAsBefore) {
            *problem = QStringLiteral("a failed download changed the PC file");
            return false;
        }
        if (plan.operation != Operation::GetMissing && !onPhone) {
            if (plan.operation != Operation::Move || onPc != content) {
                *problem = QStringLiteral("the phone file is gone but the PC holds no whole copy");
                return false;
            }
        }
        if (deleteReported && onPhone) {
            *problem = QStringLiteral("a delete reported done left the phone file");
            return false;
        }
        if (plan.operation == Operation::Get && onPhone != content) {
            *problem = QStringLiteral("a download changed the phone file");
            return false;
        }
    }
    // Nothing half-written left behind: only the file itself on the PC side.
    const QStringList pcFiles = QDir(pc).entryList(QDir::Files | QDir::Hidden | QDir::System);
    if (pcFiles.size() > 1 || (pcFiles.size() == 1 && pcFiles.first() != QString::fromLatin1(phoneName))) {
        *problem = QStringLiteral("stray PC files: ") + pcFiles.join(QStringLiteral(", "));
        return false;
    }

    // A healthy phone, or one whose faults cost nothing, must let every transfer through.
    if (harmless(plan.fault)) {
        const Outcome expected = plan.operation == Operation::Move ? Outcome::Moved
            : plan.operation == Operation::GetMissing              ? Outcome::NotDelivered
                                                                   : Outcome::Transferred;
        if (*outcome != expected) {
            *problem = QStringLiteral("%1 instead of %2 (events: %3)")
                           .arg(QLatin1String(name(*outcome)), QLatin1String(name(expected)),
                                events.log.join(QStringLiteral(" | ")));
            return false;
        }
        if (plan.operation == Operation::Move && onPhone) {
            *problem = QStringLiteral("a move reported done left the phone file");
            return false;
        }
    }
    if (plan.fault == Fault::Refusal && (*outcome == Outcome::Moved || *outcome == Outcome::Transferred)) {
        *problem = QStringLiteral("a refused request counted as done");
        return false;
    }
    return true;
}

void Soak::transfersUnderFaults_data()
{
    QTest::addColumn<int>("first");
    QTest::addColumn<int>("last");
    constexpr int Batch = 25;
    for (int first = 1; first <= runs; first += Batch) {
        const int last = std::min(runs, first + Batch - 1);
        QTest::addRow("runs %d-%d", first, last) << first << last;
    }
}

void Soak::transfersUnderFaults()
{
    QFETCH(int, first);
    QFETCH(int, last);
    for (int run = first; run <= last; ++run) {
        const Plan plan = makePlan(random, run, timeoutMs);
        QElapsedTimer clock;
        clock.start();
        Outcome outcome = Outcome::NoConnection;
        QString problem;
        const bool sound = runOnce(plan, random, &outcome, &problem);
        const qint64 elapsed = clock.elapsed();
        if (!sound)
            QFAIL(qPrintable(plan.text() + QStringLiteral(": ") + problem));
        QVERIFY2(elapsed < RunLimitMs, qPrintable(plan.text() + QStringLiteral(": took %1 ms").arg(elapsed)));

        const QString fault = QLatin1String(name(plan.fault));
        ++tally.byFault[fault][QLatin1String(name(outcome))];
        tally.slowestMs[fault] = std::max(tally.slowestMs[fault], elapsed);
        ++tally.byOperation[QLatin1String(name(plan.operation))];
        tally.bytes += plan.size;
        ++tally.runs;
    }
}

void Soak::transfersOverNoisyLine_data()
{
    QTest::addColumn<int>("first");
    QTest::addColumn<int>("last");
    constexpr int Batch = 25;
    for (int first = 1; first <= noiseTransfers; first += Batch) {
        const int last = std::min(noiseTransfers, first + Batch - 1);
        QTest::addRow("transfers %d-%d", first, last) << first << last;
    }
}

void Soak::transfersOverNoisyLine()
{
    QFETCH(int, first);
    QFETCH(int, last);
    if (!noiseClock.isValid()) {
        faultRunsMs = total.elapsed();
        noiseClock.start();
    }

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString flash = dir.filePath(QStringLiteral("flash"));
    const QString pc = dir.filePath(QStringLiteral("pc"));
    QVERIFY(QDir().mkpath(flash) && QDir().mkpath(pc));

    const QString rate = QString::number(noiseRate);
    QStringList options{QStringLiteral("--noise-rx"),     rate,
                        QStringLiteral("--noise-tx"),     rate,
                        QStringLiteral("--seed"),         QString::number(random.bounded(1000000)),
                        QStringLiteral("--resend-after"), QString::number(NoisePhoneResendMs),
                        QStringLiteral("--memory"),       QStringLiteral("100000000")};
    // Responses of 1 or 2 KB: at this rate one in 30 or 15 arrives damaged.
    options << QStringLiteral("--packet") << QString::number(random.bounded(2) ? 2048 : 1024);
    if (random.bounded(3) == 0)
        options << QStringLiteral("--frame") << QString::number(5 + random.bounded(31));
    PhoneSim sim;
    QVERIFY(sim.start(flash, options));

    RecordingEvents events;
    PhoneLink link(*crc, events);
    PhoneFiles files(link);
    files.setWorkingDirectory(dir.path());
    link.setDevicePath(sim.device);
    link.setTimeoutInterval(NoiseTimeoutMs);
    link.setResendInterval(NoiseResendMs);
    link.setQuietInterval(QuietMs);
    // The connect procedure has no resends: noise that hits its answers makes it try again.
    auto connect = [&] {
        for (int attempt = 0; attempt < 5; ++attempt) {
            link.setPauseScale(attempt < 2 ? 0.05 : 0.2);
            bool connected = false;
            try {
                PhoneConnector(link).run([&] {
                    connected = true;
                    files.enterRootAndRefresh();
                });
            } catch (const LinkLost &) {
                connected = false;
            }
            if (connected)
                return true;
            ++noise.connectRetries;
        }
        return false;
    };

    const QString plan = QStringLiteral("transfers %1-%2 [phonesim %3]").arg(first).arg(last).arg(options.join(u' '));
    bool up = connect();
    for (int transfer = first; transfer <= last; ++transfer) {
        if (!up)
            up = connect();
        QVERIFY2(up, qPrintable(plan + QStringLiteral(": no connection")));
        const bool upload = random.bounded(2) == 0;
        const QByteArray content = randomBytes(random, noisySize(random));
        const QString name = QStringLiteral("n%1.bin").arg(transfer);
        const QString onPhone = flash + u'/' + name;
        const QString onPc = pc + u'/' + name;
        QVERIFY(writeFile(upload ? onPc : onPhone, content));
        const QString what = plan
            + QStringLiteral(", %1 %2 of %3 bytes")
                  .arg(upload ? QStringLiteral("upload") : QStringLiteral("download"), name)
                  .arg(content.size());
        try {
            if (upload) {
                QVERIFY2(files.PutFile(onPc) == PutResult::Sent, qPrintable(what + QStringLiteral(": not sent")));
                QVERIFY2(readFile(onPhone) == content, qPrintable(what + QStringLiteral(": differs on the phone")));
            } else {
                const auto received = files.GetFile(name.toLatin1());
                QVERIFY2(received, qPrintable(what + QStringLiteral(": not delivered")));
                QVERIFY2(*received == content, qPrintable(what + QStringLiteral(": differs from the phone file")));
            }
        } catch (const LinkLost &) {
            // Given up: nothing half-made, nothing lost.
            ++noise.failures;
            qInfo("%s: the link ended (%s)", qPrintable(what), qPrintable(eventName(events.losses.last())));
            up = false;
            QVERIFY2(!link.isPortOpen(), qPrintable(what));
            if (upload)
                QVERIFY2(!QFile::exists(onPhone) || readFile(onPhone) == content,
                         qPrintable(what + QStringLiteral(": a part of the upload on the phone")));
        }
        QVERIFY2(readFile(upload ? onPc : onPhone) == content, qPrintable(what + QStringLiteral(": source changed")));
        ++noise.transfers;
        noise.bytes += content.size();
    }
    link.closePort();

    // Blocks on the wire: the program's as the phone took them in, the phone's as it sent them.
    for (const char *request : {"CONNECT", "SETPATH", "GET", "CONTINUE", "PUT", "DELETE", "REPEAT", "BAD-CRC"})
        noise.blocksToPhone += int(sim.logLines(QLatin1String(request)).size());
    noise.blocksToPc += int(sim.logLines(QStringLiteral("RSP")).size() + sim.logLines(QStringLiteral("RESEND")).size());
    noise.flippedToPhone += int(sim.logLines(QStringLiteral("FAULT noise-rx")).size());
    noise.flippedToPc += int(sim.logLines(QStringLiteral("FAULT noise-tx")).size());
    noise.hitAtPhone +=
        int(sim.logLines(QStringLiteral("BAD-CRC")).size() + sim.logLines(QStringLiteral("BAD-FRAME")).size()
            + sim.logLines(QStringLiteral("BAD-BLOCK")).size());
    noise.resendsByPhone += int(sim.logLines(QStringLiteral("RESEND")).size());
    noise.repeatsAtPhone += int(sim.logLines(QStringLiteral("REPEAT")).size());
    noise.hitAtPc += int(events.repairs.count(LinkRepair::BadReplyDropped));
    noise.resendsByPc += int(events.repairs.count(LinkRepair::BlockSentAgain));
    noise.repeatsAtPc += int(events.repairs.count(LinkRepair::RepeatAcknowledged));
    // A rare double fault may end the link; a line that ends it often is a fault of the link.
    QVERIFY2(noise.failures * 50 <= noise.transfers, qPrintable(plan + QStringLiteral(": too many failures")));
}

void Soak::cleanupTestCase()
{
    // The summary: faults by kind against outcomes.
    const QStringList outcomes{QStringLiteral("transferred"),   QStringLiteral("moved"),
                               QStringLiteral("kept-on-phone"), QStringLiteral("refused"),
                               QStringLiteral("not-delivered"), QStringLiteral("link-ended"),
                               QStringLiteral("no-connection")};
    QString table = QStringLiteral("%1").arg(QStringLiteral("fault"), -12);
    for (const QString &o : outcomes)
        table += QStringLiteral("%1").arg(o, 14);
    table += QStringLiteral("%1%2\n").arg(QStringLiteral("runs"), 6).arg(QStringLiteral("slowest ms"), 12);
    for (const auto &[fault, counts] : tally.byFault) {
        int sum = 0;
        table += QStringLiteral("%1").arg(fault, -12);
        for (const QString &o : outcomes) {
            const auto it = counts.find(o);
            const int n = it == counts.end() ? 0 : it->second;
            sum += n;
            table += QStringLiteral("%1").arg(n, 14);
        }
        table += QStringLiteral("%1%2\n").arg(sum, 6).arg(tally.slowestMs[fault], 12);
    }
    QString operations;
    for (const auto &[operation, n] : tally.byOperation)
        operations += QStringLiteral(" %1 %2").arg(operation).arg(n);
    qInfo().noquote() << QStringLiteral("soak: %1 runs in %2 s, %3 bytes of files; operations:%4; "
                                        "connect attempts repeated: %5\n")
                             .arg(tally.runs)
                             .arg(double(faultRunsMs < 0 ? total.elapsed() : faultRunsMs) / 1000.0, 0, 'f', 1)
                             .arg(tally.bytes)
                             .arg(operations)
                             .arg(connectRetries)
            + table;
    if (noise.transfers == 0)
        return;
    // By direction: the program's blocks on their way to the phone, and the phone's to the PC.
    const auto row = [](const char *what, int toPhone, int toPc) {
        return QStringLiteral("%1%2%3\n").arg(QLatin1String(what), -34).arg(toPhone, 10).arg(toPc, 10);
    };
    qInfo().noquote() << QStringLiteral("soak, noisy line: %1 transfers (%2 bytes of files) in %3 s at a bit error "
                                        "rate of %4 both ways; %5 failed, %6 connect attempts repeated\n")
                             .arg(noise.transfers)
                             .arg(noise.bytes)
                             .arg(double(noiseClock.elapsed()) / 1000.0, 0, 'f', 1)
                             .arg(noiseRate)
                             .arg(noise.failures)
                             .arg(noise.connectRetries)
            + QStringLiteral("%1%2%3\n")
                  .arg(QString(), -34)
                  .arg(QStringLiteral("to phone"), 10)
                  .arg(QStringLiteral("to PC"), 10)
            + row("data blocks", noise.blocksToPhone, noise.blocksToPc)
            + row("bits flipped (about one a block)", noise.flippedToPhone, noise.flippedToPc)
            + row("damage found on arrival", noise.hitAtPhone, noise.hitAtPc)
            + row("blocks sent again", noise.resendsByPc, noise.resendsByPhone)
            + row("repeats acknowledged again", noise.repeatsAtPhone, noise.repeatsAtPc);
}

QTEST_GUILESS_MAIN(Soak)
#include "tst_soak.moc"
