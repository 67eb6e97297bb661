// The firmware updater: flashes the unit's boot loader and main code; "AUTO" runs at once.
#include <QApplication>
#include <QStringList>

#include "platform/qt/dialogs.h"
#include "platform/qt/pasteguard.h"
#include "upgrade/form1.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName("Upgrade");
    platform::InstallQtBoxHandler();
    platform::InstallPasteGuard();

    // The command line as one text, as the user typed it after the program's name.
    QStringList args;
    for (int i = 1; i < argc; ++i) args << QString::fromLocal8Bit(argv[i]);
    upgrade::Form1 form(args.join(' '));
    form.Form_Load();
    return app.exec();
}
