#pragma once

// A PhoneUi that records what the link and the file operations show, answers
// questions from a queue, and ends the program by throwing.

#include "phoneui.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <deque>

// Thrown by RecordingUi::endProgram, so that a fatal exit ends only the test step.
struct ProgramEnded
{
    int status;
};

class RecordingUi : public PhoneUi
{
public:
    struct Message
    {
        Icon icon;
        QString title;
        QString text;
    };
    struct Row
    {
        QString text;
        int icon;
    };

    QList<Message> messages;
    QList<Row> rows;
    QStringList calls; // every call in order, for sequence checks
    QStringList questions; // "title|text" of every askYesNo
    std::deque<bool> answers; // answers to askYesNo, "yes" when none is left
    bool progressOpen = false;
    bool closeButtonShown = false;
    int progressMaximum = 0;
    int progressValueNow = 0;
    bool mainVisible = true;
    bool mainEnabled = true;
    int mainEnabledChanges = 0;
    bool connected = false;
    QString waitingBytes;
    int waitingBytesUpdates = 0;
    QString sequenceText;
    QString totalMemoryText;
    QString freeMemoryText;

    void progressLoad() override { calls << QStringLiteral("progress load"); }
    void progressShow() override
    {
        if (!progressOpen) {
            progressOpen = true;
            closeButtonShown = false;
            progressValueNow = 1;
        }
        calls << QStringLiteral("progress show");
    }
    bool progressIsOpen() const override { return progressOpen; }
    void progressSetMaximum(int maximum) override
    {
        progressMaximum = maximum;
        calls << QStringLiteral("max %1").arg(maximum);
    }
    void progressSetValue(int value) override
    {
        progressValueNow = value;
        calls << QStringLiteral("value %1").arg(value);
    }
    int progressValue() const override { return progressValueNow; }
    void progressAddRow(const QString &text, int icon) override
    {
        rows.append({text, icon});
        calls << QStringLiteral("row %1 %2").arg(icon).arg(text);
    }
    void progressRepaint() override { calls << QStringLiteral("repaint"); }
    void progressShowCloseButton() override
    {
        closeButtonShown = true;
        calls << QStringLiteral("close button");
    }
    void progressFocus() override { calls << QStringLiteral("focus"); }
    void progressClose() override
    {
        progressOpen = false;
        calls << QStringLiteral("progress closed");
    }
    void setMainWindowEnabled(bool enabled) override
    {
        mainEnabled = enabled;
        ++mainEnabledChanges;
        calls << QStringLiteral("main enabled %1").arg(enabled);
    }
    void setMainWindowVisible(bool visible) override
    {
        mainVisible = visible;
        calls << QStringLiteral("main visible %1").arg(visible);
    }
    void setWaitingBytesText(const QString &text) override
    {
        waitingBytes = text;
        ++waitingBytesUpdates;
    }
    void setSequenceText(const QString &text) override { sequenceText = text; }
    void setTotalMemoryText(const QString &text) override { totalMemoryText = text; }
    void setFreeMemoryText(const QString &text) override { freeMemoryText = text; }
    void connectionEstablished() override
    {
        connected = true;
        calls << QStringLiteral("connected");
    }
    void showMessage(Icon icon, const QString &title, const QString &text) override
    {
        messages.append({icon, title, text});
        calls << QStringLiteral("message %1").arg(text);
    }
    bool askYesNo(Icon, const QString &title, const QString &text) override
    {
        questions << title + u'|' + text;
        if (answers.empty())
            return true;
        const bool answer = answers.front();
        answers.pop_front();
        return answer;
    }
    [[noreturn]] void endProgram(int exitStatus) override
    {
        calls << QStringLiteral("end %1").arg(exitStatus);
        throw ProgramEnded{exitStatus};
    }

    QStringList messageTexts() const
    {
        QStringList texts;
        for (const Message &message : messages)
            texts << message.text;
        return texts;
    }
    QStringList rowTexts() const
    {
        QStringList texts;
        for (const Row &row : rows)
            texts << row.text;
        return texts;
    }
};
