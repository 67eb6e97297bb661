// COM numbers: COM<n> resolves through a ports folder of links named com0, com1, ...;
// where the folder has no link for n, a default map numbers the machine's serial devices
// (USB and ACM adapters first, then the built-in ttyS ports) in a stable order.
//
// A link in the folder overrides only its own number: COM<n> with no link named com<n> takes
// the n-th device of the default map, whatever other links exist.
#pragma once
#include <string>
#include <vector>

namespace platform {

// The ports folder: $CORVANE_PORTS, else $XDG_CONFIG_HOME/corvane/ports
// (~/.config/corvane/ports).
std::string PortsFolder();

// The folder the default map looks in: $CORVANE_DEVICES, else /dev (tests point it at an
// empty folder so the machine's own ports stay out of their way).
std::string DeviceFolder();

// The default map's order for a list of device names ("ttyUSB0", "ttyS1", ...): ttyUSB<k>,
// then ttyACM<k>, then ttyS<k>, each by k in numeric order; other names are left out.
std::vector<std::string> OrderSerialDevices(const std::vector<std::string>& names);

// The device path for COM<n>; "" when n maps to nothing. The default map starts at COM1, so
// COM0 is only ever a link.
std::string ResolveComPort(int n);

// Fast existence check: a missing device, or one with no hardware behind it, does not
// exist; one that is busy or not permitted does. Never blocks on the line.
bool ComPortExists(int n);

// True when another process holds the port (the exclusive lock is taken).
bool ComPortBusy(int n);

} // namespace platform
