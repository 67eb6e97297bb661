#include "upgrade/uploadlink.h"

#include "platform/qt/commpump.h"
#include "platform/serial.h"

namespace upgrade {

CommLink::CommLink()
    : control_(std::make_unique<platform::CommControl>()),
      pump_(std::make_unique<platform::CommPump>(*control_)) {
    control_->OnComm = [this] {
        if (OnComm) OnComm();
    };
    // A long write goes out from the event loop, so the window lives while the line takes it.
    control_->SetOutputQueued(true);
}

CommLink::~CommLink() {
    pump_.reset();
    control_.reset();
}

void CommLink::SetCommPort(int n) { control_->SetCommPort(n); }
void CommLink::SetSettings(const std::string& settings) { control_->SetSettings(settings); }
void CommLink::SetPortOpen(bool open) { control_->SetPortOpen(open); }
bool CommLink::PortOpen() const { return control_->PortOpen(); }
void CommLink::Output(const std::string& bytes) { control_->Output(bytes); }
void CommLink::Output(const std::vector<uint8_t>& bytes) { control_->Output(bytes); }
std::string CommLink::Input() { return control_->Input(); }
int CommLink::CommEvent() const { return control_->CommEvent(); }
int CommLink::OutBufferCount() const { return control_->OutBufferCount(); }
bool CommLink::CTSHolding() const { return control_->CTSHolding(); }

} // namespace upgrade
