// The main window's tray icon: put up once the desktop has a tray, its two states, and
// what a click on it does.
#include <QMenu>
#include <QTimer>

#include "client/mainunit.h"

namespace {
const char* const kTipNormal = "Corvane";
const char* const kTipMail = "Corvane mail waiting";
} // namespace

void TMainForm::AddTrayIcon() {
    trayKind_ = 1;
    if (!trayLook_) {
        trayLook_ = new QTimer(this);
        trayLook_->setInterval(TrayLookMs);
        connect(trayLook_, &QTimer::timeout, this, &TMainForm::LookForTray);
    }
    if (TrayIcon) {
        ModifyIcon(1);
        TrayIcon->show();
        return;
    }
    LookForTray();
    if (!TrayIcon) trayLook_->start();
}

// Qt picks the protocol when the icon object is made and keeps it, so the icon is made only
// once a tray is there, on the protocol that tray speaks.
void TMainForm::LookForTray() {
    if (TrayIcon) return;
    const platform::TrayHost host = platform::FindTrayHost();
    if (host == platform::TrayHost::Absent) return;
    TrayProtocol = host;
    TrayIcon = new QSystemTrayIcon(this);
    TrayIcon->setContextMenu(PopupMenu1);
    connect(TrayIcon, &QSystemTrayIcon::activated, this, &TMainForm::TrayActivated);
    ModifyIcon(trayKind_);
    TrayIcon->show();
    TrayAvailable = true;
    if (trayLook_) trayLook_->stop();
}

void TMainForm::TrayActivated(QSystemTrayIcon::ActivationReason reason) {
    const auto restore = TrayProtocol == platform::TrayHost::StatusNotifier
                             ? QSystemTrayIcon::Trigger
                             : QSystemTrayIcon::DoubleClick;
    if (reason == restore) TrayDoubleClick();
}

void TMainForm::ModifyIcon(int kind) {
    if (kind != 1 && kind != 2) return;
    trayKind_ = kind;
    if (!TrayIcon) return;
    TrayIcon->setIcon(kind == 2 ? MailIcon : NormalIcon);
    TrayIcon->setToolTip(kind == 2 ? kTipMail : kTipNormal);
}

void TMainForm::RemoveTrayIcon() {
    if (trayLook_) trayLook_->stop();
    if (TrayIcon) TrayIcon->hide();
}

QString TMainForm::TrayTip() const {
    if (TrayIcon) return TrayIcon->toolTip();
    return trayKind_ == 2 ? kTipMail : kTipNormal;
}

int TMainForm::TrayKind() const { return trayKind_; }
