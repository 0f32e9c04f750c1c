#include "terminalui.h"

#include "messages.h"

#include <QHash>

#include <iostream>
#include <string>
#include <unistd.h>

namespace {

QString english(const QString &russian)
{
    static const QHash<QString, QString> texts = {
        {QStringLiteral("Подключаюсь к телефону... AT"), QStringLiteral("Waking the phone (AT)...")},
        {QStringLiteral("Модель телефона?"), QStringLiteral("Asking for the phone model...")},
        {QStringLiteral("Устанавливаем режим обмена BFB..."), QStringLiteral("Switching the phone to BFB mode...")},
        {QStringLiteral("Настройка протокола обмена данными..."), QStringLiteral("Setting up the data link...")},
        {QStringLiteral("Подключаюсь по OBEX протоколу..."), QStringLiteral("Opening the OBEX connection...")},
        {QStringLiteral("Связь установлена..."), QStringLiteral("Connected.")},
        {QStringLiteral("Получаю список папок..."), QStringLiteral("Reading the root folder...")},
        {QStringLiteral("Запрашиваю список файлов..."), QStringLiteral("Requesting the folder listing...")},
        {QStringLiteral("Запрашиваю  файл..."), QStringLiteral("Requesting the file...")},
        {QStringLiteral("Отправляю файл..."), QStringLiteral("Sending the file...")},
        {QStringLiteral("Не могу получить ответ от телефона..."), QStringLiteral("The phone does not answer.")},
        {QStringLiteral("Проверьте, включен ли телефон, "),
         QStringLiteral("Check that the phone is switched on, that the cable is plugged in")},
        {QStringLiteral("правильно ли он подключен,"), QString()},
        {QStringLiteral("установлен ли в настройках нужный COM порт..."),
         QStringLiteral("and that --port or --device names the right serial port.")},
        {QStringLiteral("Попробуйте еще раз..."), QStringLiteral("Try again.")},
        {QStringLiteral("Не могу соединиться по BFB  протоколу..."),
         QStringLiteral("The phone does not take up the BFB link.")},
        {QStringLiteral("Выключите и включите телефон..."), QStringLiteral("Switch the phone off and on again.")},
        {QStringLiteral("Не могу открыть порт, установите в НАСТРОЙКАХ необходимый номер порта!!!"),
         QStringLiteral("Cannot open the serial port.")},
        {QStringLiteral("К сожалению, произошла ошибка ПРИЕМА ДАННЫХ - TIMEOUT. Программа будет закрыта!!! "
                        "Выключите и включите телефон!!!"),
         QStringLiteral("The phone stopped answering (time-out). Switch the phone off and on again.")},
        {QStringLiteral("К сожалению, произошла серьезная ошибка ПРИЕМА ДАННЫХ!!! Программа будет закрыта!!! "
                        "Выключите и включите телефон!!!"),
         QStringLiteral("The phone's reply broke the link framing. Switch the phone off and on again.")},
    };
    if (const auto it = texts.constFind(russian); it != texts.constEnd())
        return *it;
    if (const auto obex = englishForRussian(russian))
        return *obex;
    static const QString packetRow = QStringLiteral("Получен пакет N");
    if (russian.startsWith(packetRow))
        return QStringLiteral("Received packet ") + russian.mid(packetRow.size());
    return russian;
}

const QString PortMessage = QStringLiteral("Не могу открыть порт, установите в НАСТРОЙКАХ необходимый номер порта!!!");

void printLine(const QString &text)
{
    std::cerr << text.toStdString() << std::endl;
}

} // namespace

void printError(const QString &text)
{
    printLine(QStringLiteral("tarvel-cli: ") + text);
}

bool askOnTerminal(const QString &question)
{
    std::cerr << question.toStdString() << " [y/N] " << std::flush;
    std::string answer;
    if (!std::getline(std::cin, answer))
        return false;
    return answer == "y" || answer == "Y" || answer == "yes" || answer == "Yes";
}

TerminalUi::TerminalUi(bool showProgress) : showProgress(showProgress) {}

TerminalUi::~TerminalUi()
{
    endCountLine();
}

void TerminalUi::endCountLine()
{
    if (countShown) {
        std::cerr << std::endl;
        countShown = false;
    }
}

void TerminalUi::progressSetValue(int value)
{
    progressValueNow = value;
    // Only the upload counts its packets on the bar (from 1, one step per packet).
    if (!showProgress || progressMaximum <= 6 || !progressOpen || value < 2)
        return;
    std::cerr << "\r  packets sent: " << (value - 1) << std::flush;
    countShown = true;
}

void TerminalUi::progressAddRow(const QString &text, int icon)
{
    if (text.startsWith(QStringLiteral("Siemens ")))
        modelRow = text;
    const QString line = english(text);
    // The handshake's failure lines start with the error icon.
    if ((icon == 4 || !errorLines.isEmpty()) && !line.isEmpty())
        errorLines << line;
    if (showProgress && !line.isEmpty()) {
        endCountLine();
        printLine(line);
    }
}

void TerminalUi::progressClose()
{
    endCountLine();
    progressOpen = false;
}

void TerminalUi::showMessage(Icon icon, const QString &title, const QString &text)
{
    Q_UNUSED(icon);
    Q_UNUSED(title);
    endCountLine();
    if (text == PortMessage) {
        portMessage = true; // main says which port and why
        return;
    }
    printError(english(text));
}

bool TerminalUi::askYesNo(Icon icon, const QString &title, const QString &text)
{
    Q_UNUSED(icon);
    Q_UNUSED(title);
    Q_UNUSED(text);
    endCountLine();
    if (sizeAnswer == Answer::Yes)
        return true;
    if (::isatty(STDIN_FILENO))
        return askOnTerminal(QStringLiteral("The file is larger than 150 kB. Copy it to the phone?"));
    printError(QStringLiteral("the file is larger than 150 kB; run with --yes to copy it without asking"));
    return false;
}

void TerminalUi::endProgram(int exitStatus)
{
    endCountLine();
    throw LinkFailure{exitStatus};
}
