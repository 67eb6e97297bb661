// A scripted stand-in for the modem unit on a pseudo-terminal. It runs on its own thread;
// the program under test opens the slave side like any serial device.
#pragma once
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace sim {

struct StoredMessage {
    int index = 0;
    std::string status = "REC UNREAD";
    std::string number;          // without quotes; the unit quotes it in the header
    std::string name;            // "" gives two commas in a row
    std::string timestamp = "24/05/12,14:23:11+04";
    std::string body;
};

struct SentSms {
    std::string number;          // what followed AT+CMGS=
    std::string text;            // the body before character 26
};

// Answers (lines end with CR; LF, and ESC or 26 outside a prompt, are dropped; an empty
// line gets no answer; commands match without regard to case):
//   AT, AT+CMGF=1, the expected init   "\r\nOK\r\n"      anything else "\r\nERROR\r\n"
//   ATI9        "\r\n6B71<version>\r\n\r\nOK\r\n"
//   AT+CMGS=<n> "\r\n> ", then the body up to 26: "\r\n+CMGS: <ref>\r\n\r\nOK\r\n";
//               ESC cancels silently; an empty number gets ERROR
//   AT+CMGR=<i> "\r\n+CMGR: <header>\r\n<body>\r\n\r\nOK\r\n", then the status is "REC READ"
//   AT+CMGL=<s> "\r\n+CMGL: <i>,<header>\r\n<body>" per match, then "\r\n\r\nOK\r\n";
//               listed unread messages become "REC READ"; "ALL" lists every one
//   AT+CMGD=<i> "\r\nOK\r\n" (ERROR for an empty slot; the index is logged either way)
//   notice      "\r\n+CMT: \"SM\",<i>\r\n"
// <header> is "status","number","name","timestamp" with nothing between the commas for
// no name. Silent: commands are logged but neither run nor answered. The handler runs on
// the I/O thread without the lock (it may call this object, but not Stop or Vanish).
class ModemSim {
public:
    ModemSim();                  // opens the pty pair in raw mode; the slave stays open
    ~ModemSim();                 // stops the thread
    ModemSim(const ModemSim&) = delete;
    ModemSim& operator=(const ModemSim&) = delete;

    // The slave device. A new one after Reappear (the links of LinkAsCom follow it).
    const std::string& SlavePath() const;
    // Makes <portsFolder>/com<n> a link to the slave side (creates the folder when missing).
    // The link is replaced atomically; the destructor removes it while it still points here.
    void LinkAsCom(const std::string& portsFolder, int n) const;

    void Start();
    void Stop();

    // Behaviour (any time, also while running).
    void SetVersion(const std::string& version);       // ATI9 -> "6B71" + version
    void SetExpectedInit(const std::string& init);     // the init string answered OK
    void SetEcho(bool echo);                           // echo every byte back
    void SetSilent(bool silent);                       // answer nothing at all
    void SetErrorFor(const std::string& commandPrefix, bool error); // answer "ERROR"
    void SetSplit(int pieces, std::chrono::milliseconds gap); // replies in delayed pieces
    void SetBaud(int baud);                            // pace output (0: no pacing)
    void SetNoPromptFor(bool on);                      // AT+CMGS: never send ">"
    void SetPromptDelay(std::chrono::milliseconds delay); // AT+CMGS: ">" only after delay
    void SetDeleteDelay(std::chrono::milliseconds delay); // AT+CMGD: answered only after delay
    void SetErrorAfterText(bool on);                   // answer "ERROR" after the body's 26
    // Replaces the answer to one command line: return nullopt to fall back to the default.
    void SetHandler(std::function<std::optional<std::string>(const std::string& line)> h);

    // The unit vanishes (closes its side, the line hangs up) and comes back.
    void Vanish();
    void Reappear();

    // Message store.
    int Store(const std::string& number, const std::string& body,
              const std::string& timestamp = "24/05/12,14:23:11+04",
              bool notify = false);                    // notify: send "+CMT: \"SM\",<i>"
    // Stores a full record (name, status); index 0 takes the first free slot.
    int StoreMessage(StoredMessage message, bool notify = false);
    void Notify(int index);                            // send the notice for a stored index
    void SendRaw(const std::string& bytes);            // line noise, odd notices
    std::vector<StoredMessage> Messages() const;

    // What the unit saw.
    std::string Received() const;                      // every byte, in order
    std::vector<std::string> Commands() const;         // each line it ran (without CR LF)
    std::vector<SentSms> Sent() const;
    std::vector<int> Deleted() const;                  // indexes of AT+CMGD, in order
    void ClearLog();
    // Waits (real time) until a command starting with prefix has been run.
    bool WaitForCommand(const std::string& prefix, std::chrono::milliseconds timeout) const;

private:
    struct Impl;
    std::unique_ptr<Impl> d_;
};

} // namespace sim
