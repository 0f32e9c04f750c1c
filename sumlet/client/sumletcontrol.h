#pragma once

#include "checksum.h"

#include <QString>
#include <QStringList>

#include <memory>

namespace sumlet {
struct IDispatch;
struct VARIANT;
} // namespace sumlet

// The program's instance of the Sumlet control (Crc). It finds the component
// by its class identifier in the per-user component registry, loads the
// library named there and calls every method by dispatch identifier.
class SumletControl : public Checksum
{
public:
    // Null on failure, with a message for the user in *errorMessage. When the
    // class is not registered, or its registered library is missing or broken,
    // the copy of libsumlet.so installed with the program is registered first.
    static std::unique_ptr<SumletControl> create(QString *errorMessage);
    // The same with an explicit list of installed copies to register from.
    static std::unique_ptr<SumletControl> create(QString *errorMessage, const QStringList &installedCopies);

    // Where the program's own copy of the component is looked for: beside the
    // executable (build tree), then in the installed layout's library folder.
    static QStringList installedCopies();

    ~SumletControl() override;
    SumletControl(const SumletControl &) = delete;
    SumletControl &operator=(const SumletControl &) = delete;

    // Len is data.size(), at most 32767.
    quint16 CrcCalc(const QByteArray &data) override;
    qint16 Xor(qint16 byte1, qint16 byte2) override;
    qint16 Not(qint16 byte);
    qint16 And(qint16 byte1, qint16 byte2);
    // Shows the component's about dialog modally; false without a QApplication.
    bool AboutBox();

    // The library file the instance was created from.
    QString libraryPath() const { return library; }

private:
    SumletControl(sumlet::IDispatch *control, QString libraryPath);

    bool invoke(int dispid, sumlet::VARIANT *args, unsigned count, sumlet::VARIANT *result);
    // A method with a 16-bit result; 0 when the call fails.
    qint16 invokeI2(int dispid, sumlet::VARIANT *args, unsigned count);

    sumlet::IDispatch *dispatch;
    QString library;
};
