#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

// What sets the Siemens phone families apart on the cable, as recorded from real
// phones: one row per family, chosen by the model name that "at+CGMM" gives.
struct PhoneFamily
{
    const char *name; // "x55/x60", "x65", "x75"
    // Takes "AT^SBFB=1" but then answers no BFB frame: only plain OBEX works.
    bool needsPlainObex;
    // The fastest rate at which it answers AT commands (and so speaks plain OBEX).
    int fastestRate;
    // Answers "OK" about a second after the "+++" that ends plain OBEX (the others
    // answer nothing, but are back in AT mode all the same).
    bool answersEscape;
    // A PUT of a name it holds replaces the file; the others append to it.
    bool replacesOnPut;
};

// The family of a model name ("S65", "EL71"); a name of no known family gets the
// x55/x60 row, the phones this program was first written for.
const PhoneFamily &phoneFamilyOf(const QString &model);

// The family whose recorded phones announce maxPacket in their CONNECT answer (474 on
// x55/x60, 1030 on x65, 8203 and 8208 on x75), for a phone whose model is not known (one
// found in OBEX mode); the x55/x60 row for any other figure.
const PhoneFamily &phoneFamilyOfPacket(std::optional<int> maxPacket);

// The model name in an answer to "at+CGMM": its first line that is neither empty,
// nor the echo of the command, nor "OK". Empty when there is none.
QString modelNameIn(const QByteArray &answer);
