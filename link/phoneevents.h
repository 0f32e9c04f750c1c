#pragma once

#include "porterror.h"

#include <QString>
#include <QtGlobal>

// The link state: whether a connection attempt may start.
enum class LinkState {
    Enable, // "enable": no link
    Disable, // "Disable": a connection attempt is running or the link is up
};

// The steps of the connect procedure, in the order they are reached.
enum class ConnectStep {
    Attempting, // an attempt starts; the link state is "Disable"
    PortOpened, // the AT dialogue follows
    Waking, // "at"
    AskingModel, // "at+CGMM"
    SwitchingToBfb, // "AT^SBFB=1"
    SettingUpBfb, // the three BFB set-up frames
    SwitchingToPlain, // "AT^SQWE=0", then "AT^SQWE=3": plain OBEX on the line
    OpeningObex, // the OBEX CONNECT request
    LinkUp, // the CONNECT was answered and acknowledged
    ListingRoot, // the root folder's listing follows
    RootListed,
    Established, // the attempt is over and the link is up
};

// Why an attempt failed: the port, or the failed step of ConnectError.
enum class ConnectFailure {
    PortUnavailable,
    At, // "AT": no "OK" to the wake-up
    Model, // "MODEL": no "OK" to "at+CGMM" or "AT^SBFB=1"
    Bfb, // "BFB": a set-up frame or the CONNECT request got no acceptable answer
    Plain, // "AT^SQWE=3" refused, or the CONNECT in plain OBEX got no acceptable answer
    Rate, // no "OK" to "at" at the rate asked for plain OBEX
    // BFB only was asked for, and the phone was found in plain OBEX: nothing says it is
    // not behind a USB cable, where "+++" may leave it deaf, so it is left there
    InObexMode,
};

// The exchanges that report their packets.
enum class PhoneOperation {
    Listing,
    Download,
    Upload,
};

enum class MemoryKind {
    Total,
    Free,
};

// The fatal link errors: the phone fell silent, or its reply broke the BFB framing.
enum class LinkLoss {
    Timeout,
    BadData,
};

// Line faults the link mended by itself, without loss.
enum class LinkRepair {
    BadReplyDropped, // a reply that failed its checks was dropped; the phone sends it again
    BlockSentAgain, // a block of the program's was not acknowledged in time and went again
    RepeatAcknowledged, // a block the phone sent again was acknowledged again and dropped
};

// Thrown by the line after TransferEvents::linkLost, with the port closed.
struct LinkLost
{
    LinkLoss kind;
};

// Thrown by the link when its front end asked it to stop (a signal), with the port
// still open, so that the phone can be left as it was found.
struct LinkInterrupted
{};

// The connect procedure's progress: its steps, the model, the speed, a port that
// would not open. Every call has an empty default: a front end implements what it shows.
class ConnectEvents
{
public:
    virtual ~ConnectEvents() = default;

    virtual void linkStateChanged(LinkState) {}
    virtual void connectStep(ConnectStep) {}
    // Characters 11 to 13 of the reply to "at+CGMM".
    virtual void modelReported(const QString &) {}
    // portError tells why the port did not open (PortUnavailable only).
    virtual void connectFailed(ConnectFailure, PortError /*portError*/) {}
    // The speed step with another rate than 57600: the phone confirmed the rate and
    // the port follows it, or it did not and the link stays at 57600.
    virtual void speedChanged(int /*baud*/) {}
    virtual void speedNotConfirmed(int /*baud*/) {}
    // The port is held by a session of this program that is leaving the phone, for a
    // few seconds already: the attempt waits on for it.
    virtual void waitingForLeaver(const QString & /*device*/) {}
};

// The progress of the exchanges once the link is up; empty defaults as above.
class TransferEvents
{
public:
    virtual ~TransferEvents() = default;

    // sourceBytes: the length of the PC file of an upload, 0 otherwise.
    virtual void operationStarted(PhoneOperation, qint64 /*sourceBytes*/) {}
    // Numbered from 1: received responses while the phone continues, sent upload packets.
    virtual void packetReceived(PhoneOperation, int /*number*/) {}
    virtual void packetSent(PhoneOperation, int /*number*/) {}
    // Data moved so far: received of a download or listing, sent of an upload (bytes
    // of the PC file). total: the length announced or known, -1 when unknown.
    virtual void bytesTransferred(PhoneOperation, qint64 /*done*/, qint64 /*total*/) {}
    // The exchange ran to its end; packets counts the phone's responses. An
    // exchange stopped in the middle (a missing acknowledgement, a refused upload
    // packet) does not finish.
    virtual void operationFinished(PhoneOperation, int /*packets*/) {}

    virtual void memoryReported(MemoryKind, quint32 /*bytes*/) {}
    // The sequence number of the next block (at the start of each listing).
    virtual void sequenceReported(int) {}
    // Bytes received and not read yet, once a second from the monitors.
    virtual void waitingBytesReported(int) {}
    // The link mended a line fault; nothing to show unless a front end counts them.
    virtual void linkRepaired(LinkRepair) {}
    // Plain OBEX: an answer came damaged (its head or extent wrong, bytes out of step),
    // so the line is noisy; with no checksum on it a damaged byte elsewhere passes
    // unseen. The link is lost right after. A front end says so once.
    virtual void lineNoiseSeen() {}
    // A fatal link error. When this returns, the line closes the port and throws
    // LinkLost; the session returns it as its result.
    virtual void linkLost(LinkLoss) {}
};

// The one question an operation asks.
class UploadQuestion
{
public:
    virtual ~UploadQuestion() = default;

    // The staged upload is larger than 150 kB: go on? A front end without a user to ask copies it.
    virtual bool confirmLargeUpload() { return true; }
};

// Everything the link, the connect procedure and the file operations report while
// they run, for a listener to all of it; what an operation came to is its
// PhoneResult. Each front end words its own text.
class PhoneEvents
    : public ConnectEvents
    , public TransferEvents
    , public UploadQuestion
{};
