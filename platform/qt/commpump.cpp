#include "platform/qt/commpump.h"

#include <QSocketNotifier>

#include "platform/serial.h"

namespace platform {

CommPump::CommPump(CommControl& control, QObject* parent) : QObject(parent), control_(control) {
    previousStateChanged_ = std::move(control_.OnPortStateChanged);
    control_.OnPortStateChanged = [this] {
        Rewatch();
        if (previousStateChanged_) previousStateChanged_();
    };
    previousOutputWaiting_ = std::move(control_.OnOutputWaiting);
    control_.OnOutputWaiting = [this] { WatchOutput(); };
    Rewatch();
}

CommPump::~CommPump() {
    control_.OnPortStateChanged = std::move(previousStateChanged_);
    control_.OnOutputWaiting = std::move(previousOutputWaiting_);
    delete notifier_;
    delete writer_;
}

bool CommPump::watching() const { return notifier_ && notifier_->isEnabled(); }

void CommPump::WatchOutput() {
    if (writer_) {
        writer_->setEnabled(true);
        return;
    }
    const int fd = control_.fd();
    if (fd < 0) return;
    auto* w = new QSocketNotifier(fd, QSocketNotifier::Write, this);
    writer_ = w;
    connect(w, &QSocketNotifier::activated, this, [this, w] {
        if (!control_.FeedOutput() && writer_ == w) w->setEnabled(false);
    });
}

void CommPump::Rewatch() {
    // May run inside a notifier's own signal (the handler closed the port).
    for (QSocketNotifier** n : {&notifier_, &writer_}) {
        if (!*n) continue;
        (*n)->setEnabled(false);
        (*n)->deleteLater();
        *n = nullptr;
    }
    const int fd = control_.fd();
    if (fd < 0) return;
    auto* n = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    notifier_ = n;
    connect(n, &QSocketNotifier::activated, this, [this, n] {
        ++activations_;
        bool alive = false;
        try {
            alive = control_.DispatchReadable();
        } catch (...) {
            // An exception must not cross the event loop; the handler owns its errors.
            alive = control_.fd() >= 0;
        }
        // A dead line stays readable for ever: stop watching until the port reopens.
        if (!alive && notifier_ == n) {
            n->setEnabled(false);
            if (control_.fd() >= 0 && OnHangUp) OnHangUp();
        }
    });
}

} // namespace platform
