#pragma once

#include "phoneevents.h"
#include "phonefilelist.h"
#include "pictures.h"

class QAction;
class QLabel;
class QMenu;
class QPlainTextEdit;
class QPushButton;
class QWidget;

// The controls of the main window, built on it with their object names, places,
// pictures and texts. The hidden ones carry the link state (Command1), the count of
// waiting bytes (Label1), the sequence number (Label5) and the last listing (Text2).
struct MainWindowControls
{
    static constexpr char MobileRowText[] = "Mobile...";

    explicit MainWindowControls(QWidget *window);

    // The caption of Command1 for a link state.
    static QString linkStateCaption(LinkState state);

    // The memory labels are narrow: long figures are drawn in smaller type, the
    // same for both labels, rather than cut off.
    void fitMemoryLabels();

    ImageList ImageList1; // 32 x 32, by EntryKind
    ImageList ImageList2; // 16 x 16, by EntryKind
    QLabel *Capt; // the path line
    PhoneFileList *FileList;
    QLabel *Label3; // total memory
    QLabel *Label4; // free memory
    QPushButton *Command11; // about
    QPushButton *Command10; // options
    QPushButton *Command6; // copy
    QPushButton *Command3; // move
    QPushButton *Command8; // new folder
    QPushButton *Command7; // delete
    QPushButton *Command9; // exit
    QPushButton *Command1; // hidden: its caption is the link state
    QLabel *Label1; // hidden: bytes waiting at the port
    QLabel *Label5; // hidden: sequence indicator
    QPlainTextEdit *Text2; // hidden: raw text of the last listing
    QMenu *PopUp;
    QAction *Cop;
    QAction *Mo;
    QAction *Ne;
    QAction *De;
};
