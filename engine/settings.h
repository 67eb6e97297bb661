// Persistence of the settings record in the registry key RegistryKey.
#pragma once

// Fills Settings from the key with its defaults and applies the port to the main window.
void LoadSettings();
// Writes the record to the key, creating it when missing. Failures are silent.
void SaveSettings();
