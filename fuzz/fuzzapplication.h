#pragma once

// For the targets that drive the link: it waits for the phone in Qt's event loop, which
// needs an application object. Included by one source file of each such target.

#include <QCoreApplication>

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    static QCoreApplication app(*argc, *argv);
    return 0;
}
