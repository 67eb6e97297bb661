// One program per data folder. The first start holds a lock on a file in the data folder
// for as long as it runs (the system drops it when the process ends, however it ends) and
// listens on a local socket named after the folder; a later start for the same folder asks
// that program to restore its main window and ends without writing anything.
#pragma once
#include <functional>

// True when this start may run: it holds the data folder from now until it ends, and
// restore is called each time a later start asks (from the event loop). False when
// another program holds the folder; it has been asked to restore, if it could be reached.
// A folder that can't be locked at all (no lock file can be made) is run without a lock.
bool ClaimDataFolder(std::function<void()> restore);
