// The serial control as the upload sees it: the operations it uses, behind one small
// interface so a stand-in can take the control's place. Every failing operation raises
// platform::SerialError.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace platform {
class CommControl;
class CommPump;
} // namespace platform

namespace upgrade {

class UploadLink {
public:
    virtual ~UploadLink() = default;

    virtual void SetCommPort(int n) = 0;
    virtual void SetSettings(const std::string& settings) = 0;
    virtual void SetPortOpen(bool open) = 0;
    virtual bool PortOpen() const = 0;
    virtual void Output(const std::string& bytes) = 0;
    virtual void Output(const std::vector<uint8_t>& bytes) = 0;
    virtual std::string Input() = 0;
    virtual int CommEvent() const = 0;
    virtual int OutBufferCount() const = 0;
    virtual bool CTSHolding() const = 0;

    // The receive event, raised from the event loop after bytes arrived.
    std::function<void()> OnComm;
};

// The real serial control, its receive event delivered by the Qt event loop.
class CommLink : public UploadLink {
public:
    CommLink();
    ~CommLink() override;

    void SetCommPort(int n) override;
    void SetSettings(const std::string& settings) override;
    void SetPortOpen(bool open) override;
    bool PortOpen() const override;
    void Output(const std::string& bytes) override;
    void Output(const std::vector<uint8_t>& bytes) override;
    std::string Input() override;
    int CommEvent() const override;
    int OutBufferCount() const override;
    bool CTSHolding() const override;

    platform::CommControl& control() { return *control_; }

private:
    std::unique_ptr<platform::CommControl> control_;
    std::unique_ptr<platform::CommPump> pump_;
};

} // namespace upgrade
