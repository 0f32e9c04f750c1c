#pragma once

#include <QString>

// The two settings kept between runs, in the per-user settings store: application
// "Tarvel", section "options", string values "comport" (e.g. "Com 1") and "rts"
// (" 0" or " 1"). On Linux the store is ~/.config/Tarvel/Tarvel.conf (or under
// $XDG_CONFIG_HOME), group [options].
class StoredSettings
{
public:
    static constexpr char Application[] = "Tarvel";
    static constexpr char Section[] = "options";
    static constexpr char ComportKey[] = "comport";
    static constexpr char RtsKey[] = "rts";
    static constexpr char ComportDefault[] = "Com 1";
    static constexpr char RtsDefault[] = " 0";

    static QString comport();
    static QString rts();
    static void saveComport(const QString &text);
    static void saveRts(const QString &text);
    // Where the store lives on this machine.
    static QString fileName();

    // The port number is the fifth character of the stored text alone. When that
    // character is missing or not a digit 1 to 9, port 1 is used.
    static int portNumberFrom(const QString &comport);
    // The second character read as a number: RTS is raised when it is not 0.
    static bool rtsFrom(const QString &rts);
    // The check box value with a blank for the sign: " 1" or " 0".
    static QString rtsText(bool raised);
    // "Com" followed by the number written with a leading blank: "Com 1" ... "Com 10".
    static QString portText(int number);
};
