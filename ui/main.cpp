#include "messagebox.h"
#include "pictures.h"
#include "startup.h"
#include "sumletcontrol.h"
#include "temporaryfiles.h"
#include "windowlanguage.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QString::fromLatin1(MessageBoxes::ProgramTitle));
    QApplication::setOrganizationName(QString::fromLatin1(MessageBoxes::ProgramTitle));
    QApplication::setApplicationDisplayName(QString::fromLatin1(MessageBoxes::ProgramTitle));
    QApplication::setDesktopFileName(QStringLiteral("tarvel"));
    QApplication::setWindowIcon(Pictures::programIcon());
    WindowLanguage::install();
    // A download under way leaves no hidden file behind when the window is killed.
    TemporaryFiles::removeOnSignals();

    std::unique_ptr<Form1> form =
        createMainWindow([](QString *error) -> std::unique_ptr<Checksum> { return SumletControl::create(error); });
    if (!form)
        return 1;
    form->show();
    return app.exec();
}
