#pragma once

#include <QString>

#include <optional>

// How OBEX packets travel once the phone is connected.
enum class LinkMode {
    Bfb, // inside BFB frames
    Plain, // plain OBEX on the line, after "AT^SQWE=3"
};

// The interface the phone says it is reached on (AT^SIFS, asked before plain OBEX):
// the serial cables DCA-500 and DCA-510, the USB cable DCA-540 (which cannot take the
// phone out of plain OBEX again), Bluetooth, infrared; Unknown when it was not asked
// or the phone gave no such answer.
enum class PhoneInterface {
    Unknown,
    Wire,
    Usb,
    Bluetooth,
    Infrared,
};

// Which way the connect procedure tries first.
enum class LinkChoice {
    // BFB, unless the phone's family answers no BFB frame or the BFB set-up goes
    // unanswered: then plain OBEX (the window).
    BfbFirst,
    // Plain OBEX, and BFB when the phone refuses "AT^SQWE=3".
    PlainFirst,
    PlainOnly,
    BfbOnly,
};

// A rate for plain OBEX only: x55/x60 phones still answer AT there, and BFB has no
// speed frame for it.
constexpr int PlainOnlyRate = 230400;

// The choice a front end's "--link" names: "auto" (PlainFirst), "obex" (PlainOnly) or
// "bfb" (BfbOnly); nothing for another word.
inline std::optional<LinkChoice> linkChoiceNamed(const QString &name)
{
    if (name == u"auto")
        return LinkChoice::PlainFirst;
    if (name == u"obex")
        return LinkChoice::PlainOnly;
    if (name == u"bfb")
        return LinkChoice::BfbOnly;
    return std::nullopt;
}
