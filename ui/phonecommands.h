#pragma once

#include "phonefilelist.h"

#include <QByteArray>
#include <QString>

#include <functional>
#include <optional>

class LocalFileWriter;
class QWidget;

// What the dialogs ask of the main window's commands: the selected phone entry,
// the phone exchanges they start, and the settings of this run.
class PhoneCommands
{
public:
    struct Entry
    {
        QString text; // as the list shows it
        QByteArray name; // as the phone sent it
    };

    virtual ~PhoneCommands() = default;

    // True while a phone exchange runs; commands that would start another are ignored.
    virtual bool busy() const = 0;
    // Runs exchange as one phone exchange: busy() holds while it runs.
    virtual void runExchange(const std::function<void()> &exchange) = 0;
    virtual void setMainWindowEnabled(bool enabled) = 0;

    // The selected row of the phone list, or nothing.
    virtual std::optional<Entry> selectedEntry() const = 0;
    // Whether the phone list shows an entry of that text.
    virtual bool listHasEntry(const QString &text) const = 0;
    // Makes TransferList hold this entry alone.
    virtual void chooseForTransfer(const QString &text) = 0;
    // GetFile into writer piece by piece (or into nothing, when the PC cannot take the
    // file: the download still comes first), and the message failureText (parented to
    // messageParent) when the phone does not deliver the file. False also when writer
    // failed (its error() says why; no message then).
    virtual bool fetchFile(const QByteArray &name, LocalFileWriter *writer, QWidget *messageParent,
                           const QString &failureText) = 0;
    // The file is safely on the PC: delete it on the phone and list the folder again.
    virtual void deleteMovedFile(const QByteArray &name) = 0;
    // Creates a folder in the current phone folder and lists it again. False when
    // the name was refused before anything was sent.
    virtual bool makeFolder(const QString &name) = 0;

    // The options of this run.
    virtual bool skipFolderCheck() const = 0;
    virtual void setSkipFolderCheck(bool skip) = 0;
    virtual PhoneFileList::View listView() const = 0;
    virtual void setListView(PhoneFileList::View view) = 0;
    virtual bool rts() const = 0;
    virtual void setRts(bool raised) = 0;
};
