#pragma once

// Starting the built programs: the emulated phone and the tools, found in
// TARVEL_BIN_DIR (the build's bin folder), and files read and written whole.

#include <QByteArray>
#include <QList>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <functional>
#include <map>

QString tarvelBinDir();
// The path of one of the built programs.
QString tarvelBinary(const QString &name);

QByteArray randomBytes(int size, quint32 seed);
// Creates the parent folders as needed.
bool writeFile(const QString &path, const QByteArray &content);
// "<missing>" for a file that cannot be read, so that it never equals real content.
QByteArray readFile(const QString &path);
// Every file and folder below root, hidden ones too: relative path, then "/" for a
// folder or the content.
std::map<QString, QByteArray> fileTree(const QString &root);
// Command-line words from a text with single spaces between them.
QStringList words(const QString &text);
// The lines that start with prefix, in order.
QStringList startingWith(const QStringList &lines, const QString &prefix);
// Polls done every 10 ms until it holds; false when timeoutMs pass first.
bool waitUntil(const std::function<bool()> &done, int timeoutMs = 10000);
// The processes that have argument among their command-line words.
QList<int> processesNaming(const QString &argument);

struct ProcessResult
{
    int exitCode = -1; // -1 after a crash or a kill
    QString out;
    QString err;
};
// Waits for the process to end (killing it after timeoutMs) and collects its output.
ProcessResult finishProcess(QProcess &process, int timeoutMs = 90000);
// Starts tarvel-cli with nothing on its standard input.
void startCli(QProcess &process, const QStringList &arguments);
// Runs tarvel-cli to its end.
ProcessResult runCli(const QStringList &arguments);

// The emulated phone as a child process; stopped when this object goes.
class PhoneSim
{
public:
    PhoneSim() = default;
    // Starts at once with exactly these arguments, standard error kept for errors().
    explicit PhoneSim(const QStringList &arguments);
    ~PhoneSim();
    PhoneSim(const PhoneSim &) = delete;
    PhoneSim &operator=(const PhoneSim &) = delete;

    // Serves root with a log beside it, standard error passed on; false when it
    // gives no device.
    bool start(const QString &root, const QStringList &extra = {});
    bool launch(const QStringList &arguments, QProcess::ProcessChannelMode channels);

    bool running() const { return !device.isEmpty() && process.state() == QProcess::Running; }
    QString errors() { return QString::fromLocal8Bit(process.readAllStandardError()); }
    // Switches the phone off and on (SIGUSR1); true once its log says so.
    bool powerCycle();
    QString log() const;
    // Non-empty log lines that start with prefix, in order.
    QStringList logLines(const QString &prefix = {}) const;
    // True once no program holds the line (every OPEN has its CLOSE): a program that left
    // the phone after its end, in the background, has closed the port too.
    bool lineFree(int timeoutMs = 15000) const;

    QProcess process;
    QString device;
    QString logPath;
};
