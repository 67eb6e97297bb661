#include "engine/serparse.h"

#include <algorithm>
#include <charconv>
#include <string>

#include "engine/globals.h"
#include "engine/mainwindow.h"
#include "engine/settings.h"
#include "platform/boxes.h"
#include "platform/clock.h"
#include "platform/comports.h"
#include "platform/serial.h"

namespace {

constexpr int kLastComPort = 49;
constexpr int kBusyWaits = 300;
constexpr int kBusyWaitMs = 100;
constexpr int kPassSleepMs = 30;
constexpr std::size_t kSmsMaxLength = 160;
const char kEsc = '\x1B';
const char kSub = '\x1A';

// Results of ReadMessage and ParseMessage.
constexpr int kRead = 1;

const char* const kNotice = "+CMT: ";
const char* const kListEntry = "+CMGL: ";
const char* const kNotFound = "The Corvane modem unit was not found.";

// Clears a flag on every way out of a scope, an exception included.
class FlagGuard {
public:
    explicit FlagGuard(bool& flag) : flag_(flag) {}
    ~FlagGuard() { flag_ = false; }
    FlagGuard(const FlagGuard&) = delete;
    FlagGuard& operator=(const FlagGuard&) = delete;
private:
    bool& flag_;
};

// Looks for reply in ReceiveBuffer; on a hit cuts the buffer there: LastResponse takes the
// text before the reply, the reply and the one character after it (when there is one),
// and that character also stays at the front of ReceiveBuffer.
bool CutAt(const std::string& reply) {
    if (reply.empty()) return false;
    std::size_t p = ReceiveBuffer.find(reply);
    if (p == std::string::npos) return false;
    std::size_t end = p + reply.size();
    LastResponse = ReceiveBuffer.substr(0, std::min(end + 1, ReceiveBuffer.size()));
    ReceiveBuffer.erase(0, end);
    return true;
}

// A whole decimal integer that fits an int; anything else is not an index.
bool ParseIndex(const std::string& text, int& value) {
    const char* first = text.data();
    const char* last = first + text.size();
    auto [ptr, ec] = std::from_chars(first, last, value, 10);
    return ec == std::errc() && ptr == last;
}

// Substring from a 0-based position that may lie past the end (gives "").
std::string Slice(const std::string& s, std::size_t pos, std::size_t n) {
    return pos < s.size() ? s.substr(pos, n) : std::string();
}

// Files a message that was read, when asked to; true when it may leave the unit, that is
// when the Inbox file holds it. One that stays is listed again by a later poll.
bool Filed(const SMSMessage& message, bool file) {
    if (!file) return true;
    IMainWindow& w = MainWindow();
    const IMainWindow::InboxFiling filing =
        w.AddInboxMessage(message.Number, message.Text, message.Date, false);
    if (filing.added) {
        w.ModifyIcon(2);
        MailWaiting = true;
    }
    if (!filing.saved) ReadListOwed = true;
    return filing.saved;
}

void SendDelete(int index) { SendCommand("AT+CMGD=" + std::to_string(index) + CRLF); }

// A delete whose answer nobody waits for; the answer is owed from then on.
void SendDeleteNoWait(int index) {
    if (SendCommand("AT+CMGD=" + std::to_string(index) + CRLF) == 1) ++PendingDeleteAnswers;
}

// Reads what the serial control holds, traces it and appends it to ReceiveBuffer: one pass
// of a wait without its sleep. True when something came.
bool ReadPass() {
    IMainWindow& w = MainWindow();
    const std::string input = w.ReadInput();
    if (input.empty()) return false;
    w.AddTrace(input, true);
    AppendReceived(input);
    return true;
}

// Takes the first owed answer in ReceiveBuffer, with all in front of it.
bool TakeOneOwedAnswer() {
    const std::size_t ok = ReceiveBuffer.find("OK");
    const std::size_t error = ReceiveBuffer.find("ERROR");
    if (ok == std::string::npos && error == std::string::npos) return false;
    CutAt(ok < error ? "OK" : "ERROR");
    --PendingDeleteAnswers;
    return true;
}

// The answers of owed deletes are taken before the next exchange starts, so a late "OK" or
// "ERROR" is not read as that exchange's own reply. They are taken from what has arrived;
// reading goes on while more keeps coming (5 s at most), and an answer still missing after a
// 30 ms pass that brought nothing is owed no more. A line that fails to read owes nothing.
void TakeOwedAnswers() {
    if (PendingDeleteAnswers == 0) return;
    platform::Clock& clk = platform::clock();
    const int64_t start = clk.NowMs();
    bool waited = false;   // a pass has slept and nothing came since
    try {
        while (PendingDeleteAnswers > 0) {
            if (TakeOneOwedAnswer()) continue;
            if (ReadPass()) {
                waited = false;
                continue;
            }
            if (waited || clk.NowMs() - start >= 5000) break;
            clk.SleepMs(kPassSleepMs);
            waited = true;
        }
    } catch (const platform::SerialError&) {
    }
    PendingDeleteAnswers = 0;
}

// Drops the first n characters of ReceiveBuffer unread; owed answers among them count as
// taken.
void DropReceived(std::size_t n) {
    n = std::min(n, ReceiveBuffer.size());
    for (const char* reply : {"OK", "ERROR"})
        for (std::size_t p = ReceiveBuffer.find(reply);
             PendingDeleteAnswers > 0 && p != std::string::npos && p < n;
             p = ReceiveBuffer.find(reply, p + 1))
            --PendingDeleteAnswers;
    ReceiveBuffer.erase(0, n);
}

int ReadAndFile(int index, bool del, SMSMessage& message, bool file);
// quiet (when given) is set when the body ended the unit's reply and no delete went out,
// so that nothing more is to come from the unit.
int ParseAndFile(int index, bool del, SMSMessage& message, bool file, bool* quiet = nullptr);

} // namespace

void AppendReceived(const std::string& text) {
    ReceiveBuffer += text;
    if (ReceiveBuffer.size() > ReceiveBufferCap)
        ReceiveBuffer.erase(0, ReceiveBuffer.size() - ReceiveBufferCap);
}

// ---- Command channel and reply matcher ----

int SendCommand(const std::string& text) { return MainWindow().WriteToModem(text); }

int WaitFor(int timeoutMs, const std::string& reply1, const std::string& reply2,
            const std::string& reply3, const std::string& reply4) {
    platform::Clock& clk = platform::clock();
    const int64_t start = clk.NowMs();
    int result = 0;
    for (;;) {
        const bool timedOut = clk.NowMs() - start >= timeoutMs;
        ReadPass();
        if (CutAt(reply1)) {
            result = 1;
        } else if (!timedOut) {
            if (CutAt(reply2))
                result = 2;
            else if (CutAt(reply3))
                result = 3;
            else if (CutAt(reply4))
                result = 4;
        }
        clk.SleepMs(kPassSleepMs);
        if (result != 0 || timedOut) break;
    }
    return result;
}

bool InitModem() {
    TakeOwedAnswers();
    ReceiveBuffer.clear();
    if (SendCommand(CRLF) != 1) return false;
    for (const InitCommand& row : InitCommands) {
        if (std::string(row.command) == "last") break;
        SendCommand(row.command + CRLF);
        if (WaitFor(5000, row.reply, row.error) != 1) return false;
    }
    if (!Settings.Init.empty()) {
        SendCommand(Settings.Init + CRLF);
        return WaitFor(5000, "OK", "ERROR") == 1;
    }
    return true;
}

// ---- Finding the unit ----

bool PortExists(int n) { return platform::ComPortExists(n); }

bool IdentifyUnit() {
    SendCommand("ATI9" + CRLF);
    if (WaitFor(500, "6B71", "ERROR") != 1 || WaitFor(500, CRLF, "ERROR") != 1) return false;
    // ReceiveBuffer began right after the token, so the line's rest is the version.
    Settings.ModemVersion = LastResponse.substr(0, LastResponse.find(CRLF));
    ModemFound = true;
    if (!Settings.Init.empty()) {
        SendCommand(Settings.Init + CRLF);
        WaitFor(15000, "OK", "ERROR");
    }
    return true;
}

bool ProbePort(int n) {
    IMainWindow& w = MainWindow();
    bool found = false;
    try {
        w.ClosePort();
        w.OpenPort(n);
        found = IdentifyUnit();
    } catch (const std::exception&) {
        found = false;
    }
    w.SetPort(Settings.Port);
    w.ClosePort();
    return found;
}

bool FindModem() {
    // The first poll after the search also lists what the unit holds as read.
    ReadListOwed = true;
    MainWindow().ClosePort();
    if (ProbePort(Settings.Port)) return true;
    bool found = false;
    for (int n = 1; n <= kLastComPort; ++n) {
        if (PortExists(n) && ProbePort(n)) {
            Settings.Port = n;
            MainWindow().SetPort(n);
            found = true;
            break;
        }
    }
    if (found) SaveSettings();
    return found;
}

// ---- Sending ----

int SendSms(const std::string& text, const std::string& number) {
    if (!ModemFound) {
        FindModem();
        if (!ModemFound) {
            platform::MessageBox(kNotFound, "Error", platform::BoxButtons::Ok);
            return SMS_NOT_FOUND;
        }
    }
    int waits = 0;
    while (ModemBusy && waits < kBusyWaits) {
        platform::clock().SleepMs(kBusyWaitMs);
        ++waits;
    }
    if (waits == kBusyWaits) return SMS_BUSY;
    if (!InitModem()) return SMS_NOT_FOUND;
    return SendSmsText(text, number);
}

std::string SendableText(const std::string& text) {
    std::string body;
    body.reserve(text.size());
    for (char c : text)
        if (c != kSub && c != kEsc) body += c;
    return body;
}

int SendSmsText(const std::string& text, const std::string& number) {
    std::string body = SendableText(text);
    if (body.size() > kSmsMaxLength) body.resize(kSmsMaxLength);

    SendCommand("AT+CMGS=" + number + CRLF);
    int r = WaitFor(5000, ">", "ERROR");
    if (r == 0) {
        // Close a prompt that may still come, so later commands are not taken as text.
        SendCommand(std::string(1, kEsc));
        return SMS_TIMEOUT;
    }
    if (r == 2) return SMS_ERROR;
    SendCommand(body + CtrlZ);
    r = WaitFor(5000, "+CMGS: ", "ERROR");
    if (r == 1) return SMS_SENT;
    return r == 0 ? SMS_TIMEOUT : SMS_ERROR;
}

// ---- Receiving ----

void CheckUnsolicited() {
    FlagGuard busy(ModemBusy);
    if (!ModemFound) return;
    std::size_t at = ReceiveBuffer.find(kNotice);
    if (at == std::string::npos) return;
    DropReceived(at);

    int r = WaitFor(5000, CR, "ERROR");
    if (r == 2) return;
    if (r == 0) {
        LastResponse = ReceiveBuffer + CRLF;
        ReceiveBuffer.clear();
    }
    const std::string line = LastResponse;
    try {
        if (line.size() < 11 || line[10] != ',') return;
        std::string indexText = line.substr(11, line.find('\r', 11) - 11);
        int index = 0;
        if (indexText.empty() || !ParseIndex(indexText, index)) return;
        SMSMessage message;
        ReadAndFile(index, true, message, true);
    } catch (const std::exception&) {
    }
}

namespace {

// ReadMessage and ParseMessage; with file set, a message that was read is filed in the Inbox
// before its delete goes out, and the delete goes out only when the Inbox file holds it.
int ReadAndFile(int index, bool del, SMSMessage& message, bool file) {
    TakeOwedAnswers();
    SendCommand("AT+CMGR=" + std::to_string(index) + CRLF);
    int r = WaitFor(5000, "+CMGR: ", "ERROR");
    if (r == 0) return SMS_TIMEOUT;
    if (r == 2) return SMS_ERROR;
    r = WaitFor(5000, CRLF, "ERROR");
    if (r == 0) return SMS_TIMEOUT;
    if (r == 2) return SMS_ERROR;
    return ParseAndFile(index, del, message, file);
}

int ParseAndFile(int index, bool del, SMSMessage& message, bool file, bool* quiet) {
    const std::string header = LastResponse.substr(0, LastResponse.find(CRLF));
    std::size_t c1 = header.find(',');
    if (c1 == std::string::npos) return SMS_ERROR;
    std::size_t c2 = header.find(',', c1 + 1);
    if (c2 == std::string::npos) return SMS_ERROR;
    message.Number = header.substr(c1 + 1, c2 - c1 - 1);
    std::size_t c3 = header.find(',', c2 + 1);
    if (c3 == std::string::npos) return SMS_ERROR;
    const std::string t = header.substr(c3 + 1);
    message.Date = "20" + Slice(t, 1, 2) + "/" + Slice(t, 4, 2) + "/" + Slice(t, 7, 2) + " " +
                   Slice(t, 10, 8);

    // "Error" and "ERROR" end a body only as a line of their own, so a message that merely
    // mentions them is still read whole.
    const std::string okEnd = CRLF + "OK" + CRLF;
    const std::string errorLine = CRLF + "Error" + CRLF;
    const std::string errorLineUpper = CRLF + "ERROR" + CRLF;
    const int r = WaitFor(5000, kListEntry, okEnd, errorLine, errorLineUpper);
    switch (r) {
    case 1: {
        ReceiveBuffer.insert(0, kListEntry);
        std::string before = LastResponse.substr(0, LastResponse.find(kListEntry));
        message.Text = before.size() >= 2 ? before.substr(0, before.size() - 2) : std::string();
        if (Filed(message, file) && del) SendDeleteNoWait(index);
        return kRead;
    }
    case 2:
        // The body, its own line end and the CR LF that opens the "OK" line.
        message.Text = LastResponse.substr(0, LastResponse.find(okEnd) + CRLF.size());
        if (Filed(message, file) && del)
            SendDeleteNoWait(index);
        else if (quiet)
            *quiet = true;
        return kRead;
    case 3:
        // The match starts with the line end in front of "Error", which the text leaves out.
        message.Text = LastResponse.substr(0, LastResponse.find(errorLine));
        if (Filed(message, file) && del) {
            SendDelete(index);
            WaitFor(5000, "OK", "ERROR");
        }
        return kRead;
    case 4:
        return SMS_ERROR;
    default:
        return SMS_TIMEOUT;
    }
}

} // namespace

int ReadMessage(int index, bool del, SMSMessage& message) {
    return ReadAndFile(index, del, message, false);
}

int ParseMessage(int index, bool del, SMSMessage& message) {
    return ParseAndFile(index, del, message, false);
}

namespace {

// Lists the messages of one status and reads, files and deletes each entry.
void PollList(const std::string& status) {
    TakeOwedAnswers();
    ReceiveBuffer.clear();
    SendCommand("AT+CMGL=\"" + status + "\"" + CRLF);
    SMSMessage message;
    for (;;) {
        const int r = WaitFor(10000, kListEntry, "OK", "ERROR");
        if (r != 1) {
            // Once entries were read, the reply that ends the poll is a delete's answer.
            if (r != 0 && PendingDeleteAnswers > 0) --PendingDeleteAnswers;
            DropReceived(ReceiveBuffer.size());
            break;
        }
        if (WaitFor(5000, ",", "ERROR") != 1) {
            DropReceived(ReceiveBuffer.size());
            break;
        }
        try {
            const std::string indexText = LastResponse.substr(0, LastResponse.find(','));
            int index = 0;
            if (indexText.empty() || !ParseIndex(indexText, index)) continue;
            bool quiet = false;
            if (WaitFor(5000, CRLF, "ERROR") == 1) ParseAndFile(index, true, message, true, &quiet);
            if (quiet) {
                // The list has ended on a message that stays: no delete answer will end it.
                DropReceived(ReceiveBuffer.size());
                break;
            }
        } catch (const std::exception&) {
        }
    }
}

} // namespace

void PollUnread() {
    if (!ModemFound) return;
    ModemBusy = true;
    FlagGuard busy(ModemBusy);
    // A save that fails during this poll is tried again by the next one.
    const bool listRead = ReadListOwed;
    ReadListOwed = false;
    PollList("REC UNREAD");
    if (listRead) PollList("REC READ");
}
