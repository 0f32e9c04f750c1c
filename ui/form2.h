#pragma once

#include <QDialog>

class QFrame;
class QGroupBox;
class QLabel;
class QPushButton;

// The about box.
class Form2 : public QDialog
{
    Q_OBJECT

public:
    explicit Form2(QWidget *parent = nullptr);

    QLabel *Image1;
    QGroupBox *Frame1;
    QLabel *Label2;
    QFrame *Line1;
    QLabel *Label4;
    QLabel *Label3;
    QLabel *Label1;
    QPushButton *Command1;
};
