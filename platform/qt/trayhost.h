// Whether the desktop has a notification area (tray), and which protocol it speaks.
#pragma once
#include <functional>

namespace platform {

enum class TrayHost {
    Absent,
    StatusNotifier,   // a StatusNotifierItem host over D-Bus (most panels today)
    XEmbed,           // the older X11 system tray
};

// Looks now, without Qt's tray code: Qt settles its own answer for StatusNotifierItem the
// first time anything asks it and keeps it for the rest of the run, so asking Qt before
// a panel has started would leave the program on the wrong protocol. When both are there,
// StatusNotifierItem wins, as it does in Qt.
TrayHost FindTrayHost();

// Tests answer in place of the desktop (an empty finder restores the real look); returns the
// previous one.
using TrayHostFinder = std::function<TrayHost()>;
TrayHostFinder SetTrayHostFinder(TrayHostFinder finder);

} // namespace platform
