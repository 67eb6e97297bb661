// The end of the user's session: the session manager's last word (it sends the application
// a Quit event when the session ends) and the login manager's notice of a shutdown. A
// save-session request (commitDataRequest) alone ends nothing: it also comes without any
// logout.
#pragma once
#include <QObject>
#include <functional>

class SessionWatch : public QObject {
    Q_OBJECT
public:
    // Watches the application object's events; onEnd runs at the end of the session.
    SessionWatch(std::function<void()> onEnd, QObject* parent);
    ~SessionWatch() override;
    // Follows the login manager's shutdown signal on the system bus. False when there is no
    // system bus.
    bool WatchShutdown();

public slots:
    void PrepareForShutdown(bool start);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    std::function<void()> onEnd_;
};
