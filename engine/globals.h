// The settings record, the shared state flags and the engine's strings. All live for the
// whole run. Strings are 8-bit (Windows-1252) as the unit and the files have them.
#pragma once
#include <cstdint>
#include <string>

struct SettingsRecord {
    std::string Init;          // the user's modem initialisation string
    std::string Signature;     // put into an empty compose box
    std::string ModemVersion;  // text after "6B71" in the ATI9 reply; never stored
    std::string Password;      // settings password, plain text
    bool PduMode = false;      // carried through, never acted on
    bool ClearCompose = false;
    bool DebugMode = false;
    bool UsePass = false;
    int32_t Port = 0;          // COM port number; 0 = leave the control's number alone
};

inline SettingsRecord Settings;

// Shared state flags.
inline bool ModemBusy = false;     // a +CMT read or a poll talks to the unit
inline bool MailWaiting = false;   // a received message is filed and not yet looked at
inline bool ModemFound = false;    // the engine's own; never reset
inline bool Polling = false;       // the 60 s poll runs
inline bool Sending = false;       // the compose window's send runs
inline bool Suspended = false;     // the computer is being suspended
inline uint8_t CurrentView = 0;    // 1 Inbox, 2 Sent, 3 Drafts
inline bool ExitRequested = false;

// Line-end strings: empty until the main window's creation handler builds them.
inline std::string CRLF;
inline std::string CR;
inline std::string CtrlZ;

inline const std::string CaptionBase = "Corvane";
inline const std::string RegistryKey = "\\Software\\Hobrin\\Corvane\\1.0";
inline const std::string ProductWebAddress = "https://www.example.com/corvane/support";

// Builds CRLF, CtrlZ and CR (the creation handler's first step).
inline void BuildLineEnds() {
    CRLF = "\r\n";
    CtrlZ = std::string(1, '\x1A');
    CR = "\r";
}
