#pragma once

#include <QDialog>

namespace sumlet {

// The about dialog (id 1), modal, closed by its OK button.
class AboutDialog : public QDialog
{
public:
    explicit AboutDialog(QWidget *parent);
};

} // namespace sumlet
