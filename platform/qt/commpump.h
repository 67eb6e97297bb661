// Delivers the serial control's receive event from the Qt event loop (also inside modal
// loops; never during a blocking reply wait, which holds the GUI thread).
#pragma once
#include <QObject>
#include <functional>

class QSocketNotifier;
namespace platform { class CommControl; }

namespace platform {

// Watches the control's descriptor while the port is open: for bytes to read, and for room
// on the line while queued output waits. Takes over the control's OnPortStateChanged
// (calling the one it found) and OnOutputWaiting and gives them back when it goes; the
// control must outlive the pump.
class CommPump : public QObject {
    Q_OBJECT
public:
    explicit CommPump(CommControl& control, QObject* parent = nullptr);
    ~CommPump() override;
    // True while the descriptor is watched (false when closed or after a hang-up).
    bool watching() const;
    // How often the descriptor was reported readable (for tests and the benchmark).
    int activations() const { return activations_; }
    // Called when a hang-up ends the watch while the port is still open.
    std::function<void()> OnHangUp;
private:
    void Rewatch();
    void WatchOutput();
    std::function<void()> previousStateChanged_;
    std::function<void()> previousOutputWaiting_;
    CommControl& control_;
    QSocketNotifier* notifier_ = nullptr;
    QSocketNotifier* writer_ = nullptr;
    int activations_ = 0;
};

} // namespace platform
