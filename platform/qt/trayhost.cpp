#include "platform/qt/trayhost.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QGuiApplication>
#include <string>

#include <X11/Xlib.h>   // after Qt: its macros clash with Qt names

namespace platform {
namespace {

const char* const kWatcher = "org.kde.StatusNotifierWatcher";
TrayHostFinder g_finder;

// What Qt itself asks before it puts an icon up through StatusNotifierItem.
bool StatusNotifierHostRegistered() {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected() || !bus.interface()) return false;
    if (!bus.interface()->isServiceRegistered(kWatcher)) return false;
    QDBusMessage get = QDBusMessage::createMethodCall(
        kWatcher, "/StatusNotifierWatcher", "org.freedesktop.DBus.Properties", "Get");
    get << QString(kWatcher) << QString("IsStatusNotifierHostRegistered");
    const QDBusMessage reply = bus.call(get, QDBus::Block, 1000);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) return false;
    return qvariant_cast<QDBusVariant>(reply.arguments().at(0)).variant().toBool();
}

// An XEmbed tray owns the selection _NET_SYSTEM_TRAY_S<screen>.
bool XEmbedTrayManaged() {
    auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    Display* display = x11 ? x11->display() : nullptr;
    if (!display) return false;
    const std::string name = "_NET_SYSTEM_TRAY_S" + std::to_string(DefaultScreen(display));
    const Atom selection = XInternAtom(display, name.c_str(), False);
    return selection != 0 && XGetSelectionOwner(display, selection) != 0;
}

} // namespace

TrayHost FindTrayHost() {
    if (g_finder) return g_finder();
    if (StatusNotifierHostRegistered()) return TrayHost::StatusNotifier;
    if (XEmbedTrayManaged()) return TrayHost::XEmbed;
    return TrayHost::Absent;
}

TrayHostFinder SetTrayHostFinder(TrayHostFinder finder) {
    TrayHostFinder previous = std::move(g_finder);
    g_finder = std::move(finder);
    return previous;
}

} // namespace platform
