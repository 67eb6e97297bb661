#include "client/sessionwatch.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QEvent>

SessionWatch::SessionWatch(std::function<void()> onEnd, QObject* parent)
    : QObject(parent), onEnd_(std::move(onEnd)) {
    QCoreApplication::instance()->installEventFilter(this);
}

SessionWatch::~SessionWatch() {
    if (QCoreApplication::instance()) QCoreApplication::instance()->removeEventFilter(this);
}

bool SessionWatch::WatchShutdown() {
    QDBusConnection bus = QDBusConnection::systemBus();
    return bus.isConnected() &&
           bus.connect("org.freedesktop.login1", "/org/freedesktop/login1",
                       "org.freedesktop.login1.Manager", "PrepareForShutdown", this,
                       SLOT(PrepareForShutdown(bool)));
}

void SessionWatch::PrepareForShutdown(bool start) {
    if (start) onEnd_();
}

// The Quit event is taken here: left to Qt it would first close the windows, and the main
// window only hides on a close.
bool SessionWatch::eventFilter(QObject* watched, QEvent* event) {
    if (watched == QCoreApplication::instance() && event->type() == QEvent::Quit) {
        onEnd_();
        return true;
    }
    return false;
}
