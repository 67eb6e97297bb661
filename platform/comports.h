// COM numbers: COM<n> resolves through a ports folder of links named com1, com2, ...;
// where the folder has no link for n, a default map numbers the machine's serial devices
// (USB and ACM adapters first, then the built-in ttyS ports) in a stable order.
#pragma once
#include <string>

namespace platform {

// The ports folder: $CORVANE_PORTS, else $XDG_CONFIG_HOME/corvane/ports
// (~/.config/corvane/ports).
std::string PortsFolder();

// The device path for COM<n>; "" when n maps to nothing.
std::string ResolveComPort(int n);

// Fast existence check: a missing device, or one with no hardware behind it, does not
// exist; one that is busy or not permitted does. Never blocks on the line.
bool ComPortExists(int n);

// True when another process holds the port (the exclusive lock is taken).
bool ComPortBusy(int n);

} // namespace platform
