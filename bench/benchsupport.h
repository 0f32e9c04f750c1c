// What the benchmark programs share: the emulated phone while a benchmark needs it,
// timed tarvel-cli runs, random file content and command lines for exec.
#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <vector>

namespace bench {

// phonesim from binDir with these arguments while this lives; device is its line.
class Phone
{
public:
    Phone(const QString &binDir, const QStringList &arguments);
    ~Phone();
    Phone(const Phone &) = delete;
    Phone &operator=(const Phone &) = delete;

    QString device;

private:
    QProcess m_process;
};

// Seconds of one tarvel-cli run from binDir on the phone's line in dir, its output
// dropped; negative (with its error output printed) when it failed.
double runCli(const QString &binDir, const Phone &phone, const QStringList &arguments, const QString &dir);

// Seconds until no process names the phone's line on its command line any more: the
// leaver a tarvel-cli run leaves behind has closed the port. Negative after a minute.
double secondsUntilPortFree(const Phone &phone);

QByteArray randomBytes(qsizetype size);

// A command line for execv() or posix_spawn(): the words in the local encoding and the
// null-ended list of pointers to them.
class ExecArguments
{
public:
    explicit ExecArguments(const QStringList &words);
    ExecArguments(const ExecArguments &) = delete;
    ExecArguments &operator=(const ExecArguments &) = delete;

    char *const *argv() const { return m_argv.data(); }

private:
    std::vector<QByteArray> m_words;
    std::vector<char *> m_argv;
};

} // namespace bench
