#include "commandloop.h"

#include "commandrunner.h"
#include "pcfiletexts.h"
#include "terminalevents.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <histedit.h>

#include <cstdio>
#include <iostream>
#include <memory>
#include <string>

#include <unistd.h>

namespace {

bool isCommentOrEmpty(const QString &line)
{
    const QString trimmed = line.trimmed();
    return trimmed.isEmpty() || trimmed.startsWith(u'#');
}

// A line as the user wrote it, in UTF-8.
std::optional<Command> commandOf(const QByteArray &bytes, QString *error)
{
    if (!QByteArrayView(bytes).isValidUtf8()) {
        *error = notUtf8Problem(bytes);
        return std::nullopt;
    }
    const QString line = QString::fromUtf8(bytes);
    if (isCommentOrEmpty(line)) {
        error->clear();
        return std::nullopt;
    }
    const std::optional<QStringList> words = splitLine(line, error);
    if (!words)
        return std::nullopt;
    std::optional<Command> command = parseCommand(*words, error);
    if (command && command->name == u"shell") {
        *error = QStringLiteral("shell is the only command of its run");
        return std::nullopt;
    }
    return command;
}

// Lines with editing and history: libedit, with the history kept in the data folder.
class LineEditor
{
public:
    explicit LineEditor(const CommandRunner &runner) : m_runner(runner)
    {
        m_history = history_init();
        HistEvent event;
        history(m_history, &event, H_SETSIZE, 1000);
        history(m_history, &event, H_SETUNIQUE, 1);
        history(m_history, &event, H_LOAD, QFile::encodeName(historyPath()).constData());
        m_editor = el_init("tarvel-cli", stdin, stdout, stderr);
        el_set(m_editor, EL_CLIENTDATA, this);
        el_set(m_editor, EL_PROMPT, &LineEditor::prompt);
        el_set(m_editor, EL_EDITOR, "emacs");
        el_set(m_editor, EL_HIST, history, m_history);
        el_source(m_editor, nullptr); // the user's ~/.editrc
    }
    ~LineEditor()
    {
        HistEvent event;
        const QString path = historyPath();
        QDir().mkpath(QFileInfo(path).path());
        history(m_history, &event, H_SAVE, QFile::encodeName(path).constData());
        el_end(m_editor);
        history_end(m_history);
    }
    LineEditor(const LineEditor &) = delete;
    LineEditor &operator=(const LineEditor &) = delete;

    std::optional<QByteArray> readLine()
    {
        int count = 0;
        const char *line = el_gets(m_editor, &count);
        if (!line || count <= 0)
            return std::nullopt;
        QByteArray text(line, count);
        if (text.endsWith('\n'))
            text.chop(1);
        if (!text.trimmed().isEmpty()) {
            HistEvent event;
            history(m_history, &event, H_ENTER, line);
        }
        return text;
    }

private:
    static QString historyPath()
    {
        return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)
            + QStringLiteral("/tarvel/tarvel-cli.history");
    }

    static char *prompt(EditLine *editor)
    {
        LineEditor *self = nullptr;
        el_get(editor, EL_CLIENTDATA, &self);
        self->m_prompt =
            (QStringLiteral("tarvel:") + self->m_runner.phoneFolder() + QStringLiteral("> ")).toLocal8Bit();
        return self->m_prompt.data();
    }

    const CommandRunner &m_runner;
    EditLine *m_editor = nullptr;
    History *m_history = nullptr;
    QByteArray m_prompt;
};

std::optional<QByteArray> readPlainLine()
{
    std::string line;
    if (!std::getline(std::cin, line))
        return std::nullopt;
    return QByteArray::fromStdString(line);
}

} // namespace

int runCommands(CommandRunner &runner, const QList<Command> &commands, bool keepGoing)
{
    int status = Success;
    for (const Command &command : commands) {
        const int ran = runner.run(command);
        // "exit" keeps the status of the command before it, as in a shell.
        if (runner.finished())
            break;
        status = ran;
        if (status == LinkError || (status != Success && !keepGoing))
            break;
    }
    return status;
}

std::optional<QList<Command>> readBatch(const QString &file, int *status)
{
    QFile input;
    const bool opened = file == u"-" ? input.open(stdin, QIODevice::ReadOnly)
                                     : (input.setFileName(file), input.open(QIODevice::ReadOnly));
    if (!opened) {
        printError(QStringLiteral("cannot read %1: %2").arg(file, input.errorString()));
        *status = Refused;
        return std::nullopt;
    }
    QList<Command> commands;
    int number = 0;
    for (QByteArray line; !(line = input.readLine()).isEmpty();) {
        ++number;
        if (line.endsWith('\n'))
            line.chop(1);
        if (line.endsWith('\r'))
            line.chop(1);
        QString error;
        const std::optional<Command> command = commandOf(line, &error);
        if (!command && error.isEmpty())
            continue;
        if (!command) {
            *status = usage(QStringLiteral("%1, line %2: %3")
                                .arg(file == u"-" ? QStringLiteral("standard input") : file)
                                .arg(number)
                                .arg(error));
            return std::nullopt;
        }
        commands.append(*command);
    }
    return commands;
}

int runShell(CommandRunner &runner)
{
    if (const int status = runner.connect())
        return status;
    const bool terminal = ::isatty(STDIN_FILENO);
    std::unique_ptr<LineEditor> editor;
    if (terminal) {
        editor = std::make_unique<LineEditor>(runner);
        std::cerr << "\"help\" lists the commands, \"exit\" ends the session." << std::endl;
    }
    int status = Success;
    while (true) {
        const std::optional<QByteArray> line = editor ? editor->readLine() : readPlainLine();
        if (!line)
            break;
        QString error;
        const std::optional<Command> command = commandOf(*line, &error);
        if (!command && error.isEmpty())
            continue;
        if (!command) {
            printError(error + QStringLiteral(" (\"help\" lists the commands)"));
            status = UsageError;
            continue;
        }
        const int ran = runner.run(*command);
        // "exit" keeps the status of the line before it, as in a shell.
        if (runner.finished())
            break;
        status = ran;
        if (status == LinkError)
            break;
    }
    return status;
}
