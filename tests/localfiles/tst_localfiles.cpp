#include "localfilewriter.h"
#include "localnames.h"
#include "temporaryfiles.h"
#include "testprocess.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

using Kind = LocalFileError::Kind;

namespace {

QStringList entries(const QString &folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

// Runs body in a child process; its exit code.
template<typename Body>
int inChild(Body body)
{
    const pid_t child = ::fork();
    if (child == 0)
        ::_exit(body());
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

} // namespace

class TestLocalFiles : public QObject
{
    Q_OBJECT

private slots:
    // Written piece by piece under a hidden name, it takes the name whole; the old file
    // stays until then, keeps its permissions, and a link keeps pointing at it.
    void wholeFiles_data()
    {
        QTest::addColumn<QString>("before"); // "", "file" or "link"
        QTest::addColumn<int>("size");
        QTest::addColumn<int>("piece");
        QTest::newRow("new, empty") << "" << 0 << 1;
        QTest::newRow("new, in pieces") << "" << 70000 << 465;
        QTest::newRow("replacing a file") << "file" << 1000 << 1000;
        QTest::newRow("through a link") << "link" << 5 << 2;
    }
    void wholeFiles()
    {
        QFETCH(QString, before);
        QFETCH(int, size);
        QFETCH(int, piece);
        QTemporaryDir dir;
        const QString real = dir.filePath(QStringLiteral("a.bin"));
        const QString path = before == u"link" ? dir.filePath(QStringLiteral("link.bin")) : real;
        const QFileDevice::Permissions permissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup);
        if (!before.isEmpty()) {
            QVERIFY(writeFile(real, "the old content"));
            QVERIFY(QFile::setPermissions(real, permissions));
        }
        if (before == u"link")
            QVERIFY(QFile::link(real, path));

        LocalFileError error;
        const auto writer = LocalFileWriter::open(path, &error);
        QVERIFY(writer);
        const QByteArray content = randomBytes(size, 1);
        for (qsizetype at = 0; at < content.size(); at += piece) {
            QVERIFY(writer->write(QByteArrayView(content).sliced(at, std::min<qsizetype>(piece, content.size() - at))));
            QCOMPARE(readFile(real), before.isEmpty() ? QByteArray("<missing>") : QByteArray("the old content"));
        }
        const QDateTime modified(QDate(2005, 3, 4), QTime(12, 30), Qt::UTC);
        QVERIFY(writer->commit(modified));
        QCOMPARE(readFile(real), content);
        QCOMPARE(QFileInfo(real).lastModified().toUTC(), modified);
        if (!before.isEmpty())
            QCOMPARE(QFileInfo(real).permissions() & QFileDevice::Permissions(0x7077), permissions);
        QCOMPARE(QFileInfo(path).isSymLink(), before == u"link");
        QCOMPARE(entries(dir.path()).size(), before == u"link" ? 2 : 1);
    }

    // Every failure is typed, leaves the old content and no hidden file behind.
    void failures_data()
    {
        QTest::addColumn<QString>("target"); // inside the test folder, which holds the file "old.bin"
        QTest::addColumn<int>("sizeLimit"); // RLIMIT_FSIZE of the writing process, or 0
        QTest::addColumn<int>("kind");
        QTest::newRow("missing folder") << "missing/a.bin" << 0 << int(Kind::FolderMissing);
        QTest::newRow("a file where a folder is expected") << "old.bin/a.bin" << 0 << int(Kind::FolderMissing);
        QTest::newRow("a folder in the way") << "sub" << 0 << int(Kind::FolderInTheWay);
        QTest::newRow("name too long") << QString(300, u'n') << 0 << int(Kind::NameTooLong);
        QTest::newRow("file size limit") << "old.bin" << 4000 << int(Kind::TooLarge);
        QTest::newRow("full device") << "/dev/full" << 0 << int(Kind::NoSpace);
    }
    void failures()
    {
        QFETCH(QString, target);
        QFETCH(int, sizeLimit);
        QFETCH(int, kind);
        QTemporaryDir dir;
        QVERIFY(writeFile(dir.filePath(QStringLiteral("old.bin")), "old"));
        QVERIFY(QDir().mkpath(dir.filePath(QStringLiteral("sub"))));
        const QString path = target.startsWith(u'/') ? target : dir.filePath(target);
        // In a child, so that the limit and its signal stay there.
        const int found = inChild([&] {
            if (sizeLimit > 0) {
                ::signal(SIGXFSZ, SIG_IGN);
                const rlimit limit{rlim_t(sizeLimit), rlim_t(sizeLimit)};
                ::setrlimit(RLIMIT_FSIZE, &limit);
            }
            LocalFileError error;
            const auto writer = LocalFileWriter::open(path, &error);
            if (!writer)
                return int(error.kind);
            for (int i = 0; i < 10; ++i) {
                if (!writer->write(randomBytes(1000, 2)))
                    return int(writer->error()->kind);
            }
            return writer->commit() ? 100 : int(writer->error()->kind);
        });
        QCOMPARE(found, kind);
        QCOMPARE(readFile(dir.filePath(QStringLiteral("old.bin"))), QByteArray("old"));
        QCOMPARE(entries(dir.path()), (QStringList{QStringLiteral("old.bin"), QStringLiteral("sub")}));
    }

    // A writer dropped before its commit, and a signal in the middle of a download,
    // leave nothing: neither the name nor the hidden file.
    void unfinished_data()
    {
        QTest::addColumn<int>("signal"); // 0: the writer is dropped
        QTest::newRow("dropped") << 0;
        QTest::newRow("SIGTERM") << int(SIGTERM);
        QTest::newRow("SIGINT") << int(SIGINT);
    }
    void unfinished()
    {
        QFETCH(int, signal);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("a.bin"));
        const int ended = inChild([&] {
            if (signal != 0)
                ::signal(signal, SIG_DFL); // the test library's own handler goes
            TemporaryFiles::removeOnSignals();
            LocalFileError error;
            const auto writer = LocalFileWriter::open(path, &error);
            if (!writer || !writer->write(randomBytes(5000, 3)) || entries(dir.path()).size() != 1)
                return 1;
            if (signal != 0)
                ::raise(signal);
            return 0;
        });
        QCOMPARE(ended, signal == 0 ? 0 : 128 + signal);
        QCOMPARE(entries(dir.path()), QStringList());
    }

    // A phone name that would leave its folder, or name none, is no PC file name.
    void phoneNamesAsPcNames()
    {
        for (const QString &bad : {QString(), QStringLiteral("."), QStringLiteral(".."), QStringLiteral("a/b"),
                                   QStringLiteral("../x"), QStringLiteral("a\\b"), QStringLiteral("..\\x"),
                                   QStringLiteral("a") + QChar(0) + u'b', QStringLiteral("/etc/passwd")})
            QVERIFY2(!safeLocalName(bad), qPrintable(bad));
        for (const QString &good :
             {QStringLiteral("pic.bmp"), QStringLiteral("..."), QStringLiteral(".hidden"), QStringLiteral("Фото")})
            QCOMPARE(*safeLocalName(good), good);
    }

    // QDir::filePath took ":abc" for a Qt resource and dropped the folder, so a phone
    // file of that name could not be saved (found by fuzz_listing).
    void nameStartingWithColonStaysInItsFolder()
    {
        for (const QString &folder : {QStringLiteral("/pc/folder"), QStringLiteral("/pc/folder/")})
            QCOMPARE(localFilePath(folder, QStringLiteral(":abc")), QStringLiteral("/pc/folder/:abc"));
        QCOMPARE(localFilePath(QString(), QStringLiteral(":abc")), QStringLiteral("./:abc"));
    }
};

QTEST_GUILESS_MAIN(TestLocalFiles)
#include "tst_localfiles.moc"
