// Program entry of corvane: the tray-resident SMS client.
#include <QApplication>

#include "client/instance.h"
#include "client/mainunit.h"
#include "platform/qt/dialogs.h"
#include "platform/qt/pasteguard.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    // The application title; windows keep their own captions exactly.
    QApplication::setApplicationName("Corvane");
    // The program lives in the tray: hiding or closing windows never ends it.
    QApplication::setQuitOnLastWindowClosed(false);
    // A second start for the same data would save its own lists over the first one's.
    if (!ClaimDataFolder([] {
            if (MainForm) MainForm->MaximiseClick();
        }))
        return 0;
    platform::InstallQtBoxHandler();
    platform::InstallPasteGuard();
    InstallSessionEndHandlers();
    return RunCorvane();
}
