// The mount's file system over a phone held in memory (memorystore.h): what it asks of
// the phone for reads (pieces, downloads, stops) and writes (one upload at the last
// close), its cache, names in any letter case, limits, and what follows a rename, a
// removal or a broken upload of an open file. No FUSE: the calls are made as the
// kernel makes them.

#include "memorystore.h"
#include "phonefs.h"
#include "readcache.h"

#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <memory>

namespace {

using Handle = PhoneFs::Handle;

class Mounted
{
public:
    explicit Mounted(ReadCache::Settings settings = {}) : cacheSettings(std::move(settings)) {}

    bool start()
    {
        fs.reset();
        cache = std::make_unique<ReadCache>(cacheSettings);
        QString problem;
        if (!cache->open(&problem))
            return false;
        fs = std::make_unique<PhoneFs>(phone.factory(), *cache);
        return fs->connectFirst();
    }

    Handle open(const char *path, int flags = O_RDONLY)
    {
        Handle handle = 0;
        const int result = flags & O_CREAT ? fs->create(path, flags, &handle) : fs->open(path, flags, &handle);
        return result == 0 ? handle : 0;
    }
    // size bytes from offset, or the errno as text.
    QByteArray read(Handle handle, int size, qint64 offset = 0)
    {
        QByteArray data(size, 0);
        const int got = fs->read(handle, data.data(), size_t(size), off_t(offset));
        return got < 0 ? "errno " + QByteArray::number(-got) : data.left(got);
    }
    // The whole file, in blocks as cp reads it.
    QByteArray readAll(const char *path)
    {
        const Handle handle = open(path);
        QByteArray content;
        for (QByteArray block; handle && !(block = read(handle, 4096, content.size())).isEmpty();)
            content += block;
        fs->release(handle);
        return content;
    }
    int write(Handle handle, const QByteArray &data, qint64 offset = 0)
    {
        return fs->write(handle, data.constData(), size_t(data.size()), off_t(offset));
    }
    int stat(const char *path, struct stat *attributes = nullptr)
    {
        struct stat ignored;
        return fs->getattr(path, attributes ? attributes : &ignored, nullptr);
    }

    MemoryPhone phone;
    ReadCache::Settings cacheSettings;
    std::unique_ptr<ReadCache> cache;
    std::unique_ptr<PhoneFs> fs;
};

QByteArray bytes(int size, int seed = 1)
{
    QByteArray data(size, 0);
    for (int i = 0; i < size; ++i)
        data[i] = char((i * 7 + seed * 13 + i / 251) & 0xFF);
    return data;
}

} // namespace

class MountFsTest : public QObject
{
    Q_OBJECT

private slots:
    // A read is answered once the pieces up to its end are in; the last close, or the
    // mount's end while the file is still read, stops the rest.
    void readsOnlyWhatIsAsked_data()
    {
        QTest::addColumn<int>("offset");
        QTest::addColumn<int>("size");
        QTest::addColumn<int>("pieces");
        QTest::addColumn<int>("stops");
        QTest::addColumn<bool>("unmount"); // instead of the close
        QTest::newRow("the first kilobyte") << 0 << 1024 << 11 << 1 << false;
        QTest::newRow("far ahead waits for what comes before") << 5000 << 100 << 51 << 1 << false;
        QTest::newRow("past the end") << 9950 << 4096 << 100 << 0 << false;
        QTest::newRow("unmounted while open") << 0 << 100 << 1 << 1 << true;
    }

    void readsOnlyWhatIsAsked()
    {
        QFETCH(int, offset);
        QFETCH(int, size);
        QFETCH(int, pieces);
        QFETCH(int, stops);
        QFETCH(bool, unmount);
        Mounted m;
        const QByteArray content = bytes(10000);
        m.phone.putFile("big.bin", content);
        QVERIFY(m.start());
        const Handle handle = m.open("/big.bin");
        QVERIFY(handle);
        QCOMPARE(m.read(handle, size, offset), content.mid(offset, size));
        QCOMPARE(m.phone.pieces, pieces);
        if (unmount)
            m.fs.reset();
        else
            m.fs->release(handle);
        QCOMPARE(m.phone.stops, stops);
        QCOMPARE(m.phone.reads, 1);
    }

    // A start read before serves reads inside it, a read past it downloads again (from the
    // first byte: no offsets), and the whole file then serves every later open. The changes
    // that drop an entry: tst_mount_phonesim.
    void keepsWhatWasRead()
    {
        Mounted m;
        const QByteArray content = bytes(3000);
        m.phone.putFile("a.bin", content);
        QVERIFY(m.start());
        Handle handle = m.open("/a.bin");
        QCOMPARE(m.read(handle, 500), content.left(500));
        m.fs->release(handle);
        handle = m.open("/a.bin");
        QCOMPARE(m.read(handle, 100, 200), content.mid(200, 100));
        QCOMPARE(m.phone.reads, 1);
        QCOMPARE(m.read(handle, 1000, 2000), content.mid(2000, 1000));
        m.fs->release(handle);
        QCOMPARE(m.readAll("/a.bin"), content);
        QCOMPARE(m.phone.reads, 2);
    }

    // Two readers of one file share its download; two of two files both get their bytes,
    // the open download read to its end before the other starts.
    void twoReaders_data()
    {
        QTest::addColumn<bool>("sameFile");
        QTest::newRow("one file") << true;
        QTest::newRow("two files") << false;
    }

    void twoReaders()
    {
        QFETCH(bool, sameFile);
        Mounted m;
        const QByteArray first = bytes(2000, 1);
        const QByteArray second = bytes(2500, 2);
        m.phone.putFile("a.bin", first);
        m.phone.putFile("b.bin", second);
        QVERIFY(m.start());
        const Handle a = m.open("/a.bin");
        const Handle b = m.open(sameFile ? "/a.bin" : "/b.bin");
        QByteArray readA, readB;
        for (int offset = 0; offset < 2500; offset += 300) {
            readA += m.read(a, 300, offset);
            readB += m.read(b, 300, offset);
        }
        QCOMPARE(readA, first);
        QCOMPARE(readB, sameFile ? first : second);
        QCOMPARE(m.phone.reads, sameFile ? 1 : 2);
        QCOMPARE(m.phone.callsDuringRead, 0);
        m.fs->release(a);
        m.fs->release(b);
        QCOMPARE(m.phone.stops, 0);
    }

    // A download that breaks off fails its readers, keeps nothing, and a new open starts afresh.
    void brokenDownload()
    {
        Mounted m;
        const QByteArray content = bytes(1000);
        m.phone.putFile("a.bin", content);
        m.phone.failingRead = "a.bin";
        m.phone.failAfterPieces = 3;
        QVERIFY(m.start());
        Handle handle = m.open("/a.bin");
        QCOMPARE(m.read(handle, 200), content.left(200));
        QCOMPARE(m.read(handle, 200, 400), QByteArray("errno 13"));
        // The kernel reads again on its own: the same failure, no new download.
        QCOMPARE(m.read(handle, 200, 200), QByteArray("errno 13"));
        QCOMPARE(m.phone.reads, 1);
        m.fs->release(handle);
        QCOMPARE(m.phone.stops, 0);
        m.phone.failingRead.clear();
        QCOMPARE(m.readAll("/a.bin"), content);
        QCOMPARE(m.phone.reads, 2);
    }

    // Past the limit the entries used longest ago go; a file larger than the limit is read
    // all the same, and kept only while it is open.
    void cacheStaysWithinItsLimit()
    {
        Mounted m({2500, {}});
        for (const char *name : {"a.bin", "b.bin", "c.bin"})
            m.phone.putFile(name, bytes(1000, name[0]));
        m.phone.putFile("huge.bin", bytes(6000));
        QVERIFY(m.start());
        for (const char *path : {"/a.bin", "/b.bin", "/a.bin", "/c.bin", "/a.bin"})
            QCOMPARE(m.readAll(path), bytes(1000, path[1]));
        QCOMPARE(m.phone.reads, 3);
        QVERIFY(m.cache->heldBytes() <= 2500);
        QCOMPARE(m.readAll("/b.bin"), bytes(1000, 'b'));
        QCOMPARE(m.phone.reads, 4);
        QCOMPARE(m.readAll("/huge.bin"), bytes(6000));
        QVERIFY(m.cache->heldBytes() <= 2500);
    }

    // A named cache folder keeps what was read for the next mount of the same phone.
    void cacheKeptForTheNextMount()
    {
        QTemporaryDir folder;
        Mounted m({ReadCache::DefaultLimit, folder.path()});
        const QByteArray content = bytes(1500);
        m.phone.putFile("a.bin", content);
        m.phone.putFile("b.bin", "b");
        QVERIFY(m.start());
        QCOMPARE(m.readAll("/a.bin"), content);
        // Another mount cannot take the folder while this one holds it.
        ReadCache second({ReadCache::DefaultLimit, folder.path()});
        QString problem;
        QVERIFY(!second.open(&problem));
        QVERIFY2(problem.contains("in use"), qPrintable(problem));

        QVERIFY(m.start());
        QCOMPARE(m.readAll("/a.bin"), content);
        QCOMPARE(m.phone.reads, 1);
        m.phone.putFile("a.bin", bytes(1500, 9)); // same size, another date
        QVERIFY(m.start());
        QCOMPARE(m.readAll("/a.bin"), bytes(1500, 9));
        QCOMPARE(m.phone.reads, 2);
    }

    // Every close of an inherited descriptor is a flush; only the last close copies the
    // file, once.
    void writesOnceAtTheLastClose()
    {
        Mounted m;
        m.phone.putFile("D/q.txt", "old");
        m.phone.putFolder("D");
        QVERIFY(m.start());
        const Handle handle = m.open("/D/q.txt", O_WRONLY | O_TRUNC);
        QVERIFY(handle);
        QCOMPARE(m.write(handle, "a\n"), 2);
        QCOMPARE(m.fs->flush(handle), 0);
        QCOMPARE(m.write(handle, "b\n", 2), 2);
        QCOMPARE(m.fs->flush(handle), 0);
        QCOMPARE(m.phone.uploads, QStringList());
        QCOMPARE(m.phone.content("D/q.txt"), QByteArray("old"));
        struct stat attributes;
        QCOMPARE(m.fs->getattr("/D/q.txt", &attributes, nullptr), 0);
        QCOMPARE(attributes.st_size, 4);
        m.fs->release(handle);
        QCOMPARE(m.phone.uploads, QStringList{"D/q.txt"});
        QCOMPARE(m.phone.content("D/q.txt"), QByteArray("a\nb\n"));

        // fsync copies at once; the close after it has nothing more to copy.
        const Handle synced = m.open("/D/new.txt", O_WRONLY | O_CREAT | O_EXCL);
        QCOMPARE(m.write(synced, "n"), 1);
        QCOMPARE(m.fs->fsync(synced), 0);
        m.fs->release(synced);
        QCOMPARE(m.phone.uploads, (QStringList{"D/q.txt", "D/new.txt"}));
    }

    // Names are found in any letter case and spelt as the phone spells them, a file being
    // written too; a rename to another case of the same name is the phone's rename. What the
    // kernel refuses once the look-up finds the name: tst_mount_phonesim.
    void namesInAnyLetterCase()
    {
        Mounted m;
        m.phone.putFolder("D");
        m.phone.putFile("D/keep.txt", "keep");
        QVERIFY(m.start());
        QCOMPARE(m.readAll("/d/Keep.Txt"), QByteArray("keep"));
        Handle handle = 0;
        QCOMPARE(m.fs->create("/D/KEEP.TXT", O_WRONLY | O_CREAT | O_EXCL, &handle), -EEXIST);
        QCOMPARE(m.fs->rename("/D/keep.txt", "/D/KEEP.TXT", RENAME_NOREPLACE), 0);
        QCOMPARE(m.phone.content("D/KEEP.TXT"), QByteArray("keep"));
        handle = m.open("/D/fresh.txt", O_WRONLY | O_CREAT | O_EXCL);
        QVERIFY(handle);
        Handle again = 0;
        QCOMPARE(m.fs->create("/D/FRESH.TXT", O_WRONLY | O_CREAT | O_EXCL, &again), -EEXIST);
        m.fs->release(handle);
        QCOMPARE(m.phone.uploads, QStringList{"D/fresh.txt"});
    }

    // A write past the largest upload, or past the phone's room (its free memory and the
    // file the copy replaces), fails at once, close() reports it and nothing goes to the
    // phone; a phone full all the same is ENOSPC.
    void limitsBeforeBytes()
    {
        Mounted m;
        m.phone.maxFileSize = 1000;
        m.phone.putFile("a.txt", "old");
        m.phone.putFolder("MMCard");
        QVERIFY(m.start());
        Handle handle = m.open("/big.bin", O_WRONLY | O_CREAT | O_EXCL);
        QCOMPARE(m.write(handle, bytes(600)), 600);
        QCOMPARE(m.write(handle, bytes(600), 600), -EFBIG);
        QCOMPARE(m.fs->flush(handle), -EFBIG);
        m.fs->release(handle);
        QCOMPARE(m.fs->truncate("/a.txt", 2000, nullptr), -EFBIG);
        QCOMPARE(m.phone.uploads, QStringList());
        QCOMPARE(m.stat("/big.bin"), -ENOENT);

        m.phone.uploadFailure = StoreFailure::Full;
        handle = m.open("/a.txt", O_WRONLY | O_TRUNC);
        QCOMPARE(m.write(handle, "new"), 3);
        QCOMPARE(m.fs->fsync(handle), -ENOSPC);
        QCOMPARE(m.fs->flush(handle), -ENOSPC);
        m.fs->release(handle);
        QCOMPARE(m.phone.content("a.txt"), QByteArray("old"));

        m.phone.freeMemory = 500;
        handle = m.open("/a.txt", O_WRONLY | O_TRUNC);
        QCOMPARE(m.write(handle, bytes(503)), 503);
        QCOMPARE(m.write(handle, "!", 503), -ENOSPC);
        m.fs->release(handle);
        QCOMPARE(m.fs->truncate("/a.txt", 504, nullptr), -ENOSPC);
        QCOMPARE(m.write(m.open("/new.bin", O_WRONLY | O_CREAT), bytes(501)), -ENOSPC);
        // The figures do not count the memory card.
        QCOMPARE(m.write(m.open("/mmcard/new.bin", O_WRONLY | O_CREAT), bytes(501)), 501);
        QCOMPARE(m.phone.uploads, QStringList{"a.txt"});
    }

    // Open files follow a rename of themselves or of a folder above them, and one removed
    // from under its descriptor is never copied.
    void openFilesFollowTheirNames()
    {
        Mounted m;
        m.phone.putFolder("Sub");
        QVERIFY(m.start());
        const Handle moved = m.open("/Sub/a.txt", O_WRONLY | O_CREAT | O_EXCL);
        QCOMPARE(m.write(moved, "a"), 1);
        QCOMPARE(m.fs->rename("/Sub/a.txt", "/Sub/b.txt", 0), 0);
        QCOMPARE(m.fs->rename("/Sub", "/Moved", 0), 0);
        const Handle removed = m.open("/Moved/gone.txt", O_WRONLY | O_CREAT | O_EXCL);
        QCOMPARE(m.write(removed, "gone"), 4);
        QCOMPARE(m.fs->unlink("/Moved/gone.txt"), 0);
        m.fs->release(moved);
        m.fs->release(removed);
        QCOMPARE(m.phone.uploads, QStringList{"Moved/b.txt"});
        QCOMPARE(m.phone.content("Moved/b.txt"), QByteArray("a"));
        QVERIFY(!m.phone.entries.contains("Moved/gone.txt"));
    }

    // An upload the link broke leaves a part on the phone, removed at the next connection:
    // a new file's under its name, a replace's under the hidden name it goes through; when
    // the link went in its moves, the old file set aside goes back. What hidden names held
    // before is not the mount's.
    void brokenUploadRepaired_data()
    {
        QTest::addColumn<QStringList>("held"); // the phone's files
        QTest::addColumn<int>("moves"); // of the replace, done before the link goes; -1: in the upload
        const QStringList old{"a.txt"};
        QTest::newRow("a new file") << QStringList() << -1;
        QTest::newRow("a replace, in the upload") << old << -1;
        QTest::newRow("a replace, before the old file went aside") << old << 0;
        QTest::newRow("a replace, the old file aside") << old << 1;
        QTest::newRow("a replace, the new file under the name") << old << 2;
        QTest::newRow("a replace beside a hidden name held before") << (old + QStringList{".~new2~a.txt"}) << -1;
        QTest::newRow("a replace beside an old file set aside before") << (old + QStringList{".~old2~a.txt"}) << 1;
    }

    void brokenUploadRepaired()
    {
        QFETCH(QStringList, held);
        QFETCH(int, moves);
        Mounted m;
        for (const QString &name : held)
            m.phone.putFile(name, name.toUtf8());
        const auto before = m.phone.entries;
        QVERIFY(m.start());
        if (moves < 0)
            m.phone.uploadFailure = StoreFailure::LinkLost;
        m.phone.movesBeforeLoss = moves;
        const Handle handle = m.open("/a.txt", O_WRONLY | O_CREAT | O_TRUNC);
        QCOMPARE(m.write(handle, bytes(500)), 500);
        QCOMPARE(m.fs->fsync(handle), -EIO);
        m.fs->release(handle);
        QVERIFY(m.phone.entries != before);
        QCOMPARE(m.stat("/a.txt"), held.isEmpty() ? -ENOENT : 0);
        QCOMPARE(m.phone.connects, 2);
        QVERIFY(m.phone.entries == before);
    }
};

QTEST_GUILESS_MAIN(MountFsTest)
#include "tst_mount_fs.moc"
