#pragma once

#include "phoneevents.h"
#include "pictures.h"

#include <QCoreApplication>
#include <QPointer>
#include <QString>

#include <functional>

struct MainWindowControls;
class QWidget;
class frmProgress;

// The window's side of the phone events: the progress window with its status
// rows and bar, the hidden labels, the memory labels, the link state
// caption, the size question, and the message of the fatal link errors (which end
// the program).
class WindowEvents
    : public ConnectEvents
    , public TransferEvents
    , public UploadQuestion
{
    Q_DECLARE_TR_FUNCTIONS(WindowEvents)

public:
    // endProgram ends the program at once with the given status.
    WindowEvents(QWidget &window, MainWindowControls &controls, std::function<void(int)> endProgram);
    ~WindowEvents() override;

    frmProgress *progressWindow() const;
    // Closes the progress window, if it is open.
    void closeProgress();

    void linkStateChanged(LinkState state) override;
    void connectStep(ConnectStep step) override;
    void modelReported(const QString &model) override;
    void connectFailed(ConnectFailure failure, PortError portError) override;
    void operationStarted(PhoneOperation operation, qint64 sourceBytes) override;
    void packetReceived(PhoneOperation operation, int number) override;
    void packetSent(PhoneOperation operation, int number) override;
    void operationFinished(PhoneOperation operation, int packets) override;
    void memoryReported(MemoryKind kind, quint32 bytes) override;
    void sequenceReported(int sequence) override;
    void waitingBytesReported(int count) override;
    bool confirmLargeUpload() override;
    // Said with the fatal link message that follows it.
    void lineNoiseSeen() override { m_noiseSeen = true; }

    // The fatal link message (after a word on the noisy line, when one was seen); then
    // the program ends.
    void showLinkLost(LinkLoss loss);

private:
    // The progress window, loaded (not shown) when there is none.
    frmProgress &progress();
    frmProgress &showProgress();
    // Adds a row and paints it at once: a long pause may follow.
    void addRow(const QString &text, StatusIcon icon);

    QWidget &m_window;
    MainWindowControls &m_controls;
    std::function<void(int)> m_endProgram;
    QPointer<frmProgress> m_progress;
    bool m_noiseSeen = false; // plain OBEX: an answer came damaged
};
