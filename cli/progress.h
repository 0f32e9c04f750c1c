#pragma once

#include <QElapsedTimer>
#include <QString>

// One line on standard error, redrawn in place while files move: bytes, rate and time
// left of the file, or of the whole tree when one is copied. Nothing when standard
// error is no terminal.
class ProgressMeter
{
public:
    explicit ProgressMeter(bool enabled);

    // A tree of `files` files and `bytes` bytes follows, file by file.
    void beginTree(int files, qint64 bytes);
    void endTree();
    // size: -1 when unknown.
    void beginFile(const QString &label, qint64 size);
    void update(qint64 done, qint64 total);
    void endFile();
    // Takes the line away so that something else can be printed; the next update
    // draws it again.
    void clear();

private:
    void draw(bool force);

    bool m_enabled;
    bool m_shown = false;
    QElapsedTimer m_lastDraw;
    QElapsedTimer m_fileClock;
    QElapsedTimer m_treeClock;
    QString m_label;
    qint64 m_fileDone = 0;
    qint64 m_fileTotal = -1;
    bool m_inTree = false;
    int m_treeFiles = 0;
    int m_treeIndex = 0;
    qint64 m_treeBytes = 0;
    qint64 m_treeDone = 0; // bytes of the files already finished
};

// 1536 -> "1.5 KB"; below 1 KB in bytes.
QString byteText(qint64 bytes);
