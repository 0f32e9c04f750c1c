#pragma once

#include <QDialog>
#include <QVector>

class QComboBox;
class QLabel;
class QPushButton;

// Shows which serial device each of the ports Com 1 to Com 9 stands for and lets
// the user assign one of the devices present. The assignments are the symlinks
// "comN" in the per-user ports folder; nothing here can end the program: every
// failure is written into the window.
class PortMapWindow : public QDialog
{
    Q_OBJECT

public:
    static constexpr int PortCount = 9;

    explicit PortMapWindow(QWidget *parent = nullptr);

    // Serial devices present: those the system reports plus /dev/ttyUSB* and /dev/ttyACM*.
    static QStringList availableDevices();

    // Makes port N stand for device (replacing any earlier link). False with a
    // message in *error when it cannot.
    static bool assign(int port, const QString &device, QString *error);
    // Removes the link of port N, so the port stands for its default device again.
    static bool unassign(int port, QString *error);
    // What port N stands for, as shown in the window.
    static QString describe(int port);

    QLabel *mappingLabel(int port) const { return m_rows.at(port - 1).mapping; }
    QComboBox *deviceBox(int port) const { return m_rows.at(port - 1).devices; }
    QPushButton *assignButton(int port) const { return m_rows.at(port - 1).assign; }
    QPushButton *resetButton(int port) const { return m_rows.at(port - 1).reset; }
    QLabel *statusLabel() const { return m_status; }

    void refresh();

private:
    struct Row
    {
        QLabel *mapping;
        QComboBox *devices;
        QPushButton *assign;
        QPushButton *reset;
    };

    void report(bool ok, const QString &text);

    QVector<Row> m_rows;
    QLabel *m_folder;
    QLabel *m_status;
};
