#include "engine/serparse.h"

#include <algorithm>
#include <charconv>
#include <string>
#include <string_view>
#include <vector>

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
constexpr int kDeleteAnswerMs = 5000;   // how long a delete's answer is owed
// The passes of a wait for the silence that ends a reply; the silence lasts kPassSleepMs.
constexpr int kSilencePassMs = 10;
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
bool Filed(const SMSMessage& message, bool file, bool readBefore) {
    if (!file) return true;
    IMainWindow& w = MainWindow();
    const IMainWindow::InboxFiling filing =
        w.AddInboxMessage(message.Number, message.Text, message.Date, false, readBefore);
    if (filing.added) {
        w.ModifyIcon(2);
        MailWaiting = true;
    }
    if (!filing.saved) ReadListOwed = true;
    return filing.saved;
}

// Bytes that the cap of ReceiveBuffer has dropped unread, ever.
std::size_t droppedBytes = 0;

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

// A final result line of the unit: 1 "OK", 2 an error, 0 any other line.
int FinalKind(std::string_view line) {
    if (line == "OK") return 1;
    if (line == "ERROR" || line.starts_with("+CMS ERROR:") || line.starts_with("+CME ERROR:"))
        return 2;
    return 0;
}

// The line of s that begins at pos, without its line end (CR, LF or CR LF), and where the
// next one begins; false while its line end has not come.
bool LineAt(const std::string& s, std::size_t pos, std::string_view& line, std::size_t& next) {
    const std::size_t eol = s.find_first_of("\r\n", pos);
    if (eol == std::string::npos) return false;
    line = std::string_view(s).substr(pos, eol - pos);
    next = eol + 1;
    if (s[eol] == '\r' && next < s.size() && s[next] == '\n') ++next;
    return true;
}

bool AnswersOwed() {
    if (PendingDeleteAnswers > 0 &&
        platform::clock().NowMs() - PendingDeleteSentMs >= kDeleteAnswerMs)
        PendingDeleteAnswers = 0;
    return PendingDeleteAnswers > 0;
}

// Takes the owed delete answers that are in ReceiveBuffer whole: each is the first final
// line there; the lines around it stay. A refused delete leaves its message on the unit as
// read, for the next poll.
void TakeOwedAnswers() {
    std::size_t pos = 0;
    std::string_view line;
    std::size_t next = 0;
    while (AnswersOwed() && LineAt(ReceiveBuffer, pos, line, next)) {
        const int kind = FinalKind(line);
        if (kind == 0) {
            pos = next;
            continue;
        }
        if (kind == 2) ReadListOwed = true;
        ReceiveBuffer.erase(pos, next - pos);
        --PendingDeleteAnswers;
    }
}

// Empties ReceiveBuffer. While an answer is owed, a line still coming in stays: it may be
// the first part of that answer.
void ClearReceived() {
    TakeOwedAnswers();
    std::size_t keep = 0;
    if (AnswersOwed()) {
        const std::size_t eol = ReceiveBuffer.find_last_of("\r\n");
        keep = eol == std::string::npos ? ReceiveBuffer.size() : ReceiveBuffer.size() - eol - 1;
    }
    ReceiveBuffer.erase(0, ReceiveBuffer.size() - keep);
}

// Reads until the answers owed to deletes have come, or are owed no more.
void AwaitOwedAnswers() {
    platform::Clock& clk = platform::clock();
    try {
        for (;;) {
            ReadPass();
            TakeOwedAnswers();
            if (!AnswersOwed()) return;
            clk.SleepMs(kSilencePassMs);
        }
    } catch (const platform::SerialError&) {
    }
}

// Where the unit's reply in ReceiveBuffer ends: the last final line after which the buffer
// holds nothing but whole notices and blank lines. kind 0 when there is none yet.
struct ReplyEnd {
    int kind = 0;
    std::size_t lineStart = 0;   // where that final line begins
    std::size_t end = 0;         // just past its line end
};
ReplyEnd FindReplyEnd() {
    ReplyEnd found;
    std::size_t pos = 0, next = 0;
    std::string_view line;
    while (pos < ReceiveBuffer.size()) {
        if (!LineAt(ReceiveBuffer, pos, line, next)) return {};   // a line still coming in
        if (const int kind = FinalKind(line))
            found = {kind, pos, next};
        else if (!line.empty() && !line.starts_with(kNotice))
            found = {};
        pos = next;
    }
    return found;
}

// Waits for the whole of the unit's reply to the command just written: it ends with a final
// line after which the unit falls silent for 30 ms, so an "OK" or "ERROR" line inside a
// message's text does not end it. 1 "OK", 2 an error: LastResponse takes the reply up to and
// with that line out of ReceiveBuffer, and finalLine is where the line begins in it. 0 when
// no such end came within timeoutMs of the last byte, or the cap of ReceiveBuffer dropped
// part of the reply; ReceiveBuffer then keeps what it holds.
int WaitForReply(int timeoutMs, std::size_t& finalLine) {
    platform::Clock& clk = platform::clock();
    const std::size_t dropped = droppedBytes;
    int64_t last = clk.NowMs();   // the last pass that brought something
    for (;;) {
        const bool came = ReadPass();
        TakeOwedAnswers();
        if (droppedBytes != dropped) return 0;
        const int64_t now = clk.NowMs();
        if (came) {
            last = now;
        } else if (now - last >= kPassSleepMs && !AnswersOwed()) {
            const ReplyEnd reply = FindReplyEnd();
            if (reply.kind != 0) {
                LastResponse = ReceiveBuffer.substr(0, reply.end);
                ReceiveBuffer.erase(0, reply.end);
                finalLine = reply.lineStart;
                return reply.kind;
            }
        }
        if (now - last >= timeoutMs) return 0;
        clk.SleepMs(kSilencePassMs);
    }
}

// The fields of a message's header line: its status without quotes, the number as the unit
// gives it, and the date. A comma inside double quotes belongs to its field (a name may hold
// one); a header whose quotes leave fewer than three commas outside them is split at every
// comma. A four-digit year is taken as it stands.
bool SplitHeader(const std::string& header, std::string& status, SMSMessage& message) {
    std::size_t comma[3];
    auto split = [&](bool quotes) {
        int n = 0;
        bool quoted = false;
        for (std::size_t i = 0; i < header.size() && n < 3; ++i) {
            if (quotes && header[i] == '"')
                quoted = !quoted;
            else if (header[i] == ',' && !quoted)
                comma[n++] = i;
        }
        return n == 3;
    };
    if (!split(true) && !split(false)) return false;
    status = header.substr(0, comma[0]);
    status.erase(std::remove(status.begin(), status.end(), '"'), status.end());
    message.Number = header.substr(comma[0] + 1, comma[1] - comma[0] - 1);
    const std::string t = header.substr(comma[2] + 1);
    const bool fullYear = t.size() > 5 && t[5] == '/' &&
                          std::all_of(t.begin() + 1, t.begin() + 5,
                                      [](char c) { return c >= '0' && c <= '9'; });
    const std::size_t at = fullYear ? 2 : 0;   // the month and all after it sit this far on
    message.Date = (fullYear ? Slice(t, 1, 4) : "20" + Slice(t, 1, 2)) + "/" +
                   Slice(t, 4 + at, 2) + "/" + Slice(t, 7 + at, 2) + " " + Slice(t, 10 + at, 8);
    return true;
}

// The indexes of the entries of a list reply, each once, in list order.
std::vector<int> ListedIndexes(const std::string& reply) {
    std::vector<int> indexes;
    std::size_t pos = 0, next = 0;
    std::string_view line;
    const std::string_view entry(kListEntry);
    while (LineAt(reply, pos, line, next)) {
        pos = next;
        if (!line.starts_with(entry)) continue;
        line.remove_prefix(entry.size());
        int index = 0;
        if (ParseIndex(std::string(line.substr(0, line.find(','))), index) &&
            std::find(indexes.begin(), indexes.end(), index) == indexes.end())
            indexes.push_back(index);
    }
    return indexes;
}

// A delete whose answer nobody waits for; the answer is owed from then on.
void SendDeleteNoWait(int index) {
    if (SendCommand("AT+CMGD=" + std::to_string(index) + CRLF) == 1) {
        ++PendingDeleteAnswers;
        PendingDeleteSentMs = platform::clock().NowMs();
    }
}

// ReadMessage and ParseMessage; with file set, a message that was read is filed in the Inbox
// before its delete goes out, and the delete goes out only when the Inbox file holds it.
// listedUnread: the index came from the list of unread messages, which marked it read.
int ReadAndFile(int index, bool del, SMSMessage& message, bool file, bool listedUnread);
int ParseAndFile(int index, bool del, SMSMessage& message, bool file, bool listedUnread);

} // namespace

void AppendReceived(const std::string& text) {
    ReceiveBuffer += text;
    if (ReceiveBuffer.size() > ReceiveBufferCap) {
        droppedBytes += ReceiveBuffer.size() - ReceiveBufferCap;
        ReceiveBuffer.erase(0, ReceiveBuffer.size() - ReceiveBufferCap);
    }
    TakeOwedAnswers();
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
        TakeOwedAnswers();
        if (AnswersOwed()) {
            // Nothing of a reply to this wait can have come in front of them.
        } else if (CutAt(reply1)) {
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
    ClearReceived();
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
    // The rest of the answer, so that no later wait takes its "OK" for its own.
    WaitFor(500, "OK", "ERROR");
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
    TakeOwedAnswers();
    std::size_t at = ReceiveBuffer.find(kNotice);
    if (at == std::string::npos) return;
    ReceiveBuffer.erase(0, at);

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
        ReadAndFile(index, true, message, true, false);
    } catch (const std::exception&) {
    }
}

namespace {

int ReadAndFile(int index, bool del, SMSMessage& message, bool file, bool listedUnread) {
    TakeOwedAnswers();
    SendCommand("AT+CMGR=" + std::to_string(index) + CRLF);
    int r = WaitFor(5000, "+CMGR: ", "ERROR");
    if (r == 0) return SMS_TIMEOUT;
    if (r == 2) return SMS_ERROR;
    // From here the unit holds the message as read: one not read whole is listed again.
    r = WaitFor(5000, CRLF, "ERROR");
    if (r == 1) r = ParseAndFile(index, del, message, file, listedUnread);
    else r = r == 0 ? SMS_TIMEOUT : SMS_ERROR;
    if (r != kRead) ReadListOwed = true;
    return r;
}

int ParseAndFile(int index, bool del, SMSMessage& message, bool file, bool listedUnread) {
    std::string status;
    if (!SplitHeader(LastResponse.substr(0, LastResponse.find(CRLF)), status, message))
        return SMS_ERROR;
    std::size_t finalLine = 0;
    const int r = WaitForReply(5000, finalLine);
    if (r == 0) return SMS_TIMEOUT;
    if (r == 2) return SMS_ERROR;
    // The body, its own line end and the line end that opens the "OK" line.
    message.Text = LastResponse.substr(0, finalLine);
    if (status.starts_with("STO")) return SMS_ERROR;   // one of the unit's own, never received
    const bool readBefore = !listedUnread && status == "REC READ";
    if (Filed(message, file, readBefore) && del) SendDeleteNoWait(index);
    return kRead;
}

} // namespace

int ReadMessage(int index, bool del, SMSMessage& message) {
    return ReadAndFile(index, del, message, false, false);
}

int ParseMessage(int index, bool del, SMSMessage& message) {
    return ParseAndFile(index, del, message, false, false);
}

namespace {

// Lists the messages of one status and reads, files and deletes each listed index. A list
// that fails, and a read that fails, leave their messages held as read: the next poll lists
// those again.
void PollList(const std::string& status) {
    ClearReceived();
    SendCommand("AT+CMGL=\"" + status + "\"" + CRLF);
    std::size_t finalLine = 0;
    const int r = WaitForReply(10000, finalLine);
    if (r != 1) {
        // A list cut short may have marked unread messages read; an unread list that the
        // unit refused has marked none.
        if (r == 0 || status != "REC UNREAD") ReadListOwed = true;
        ClearReceived();
        return;
    }
    SMSMessage message;
    for (int index : ListedIndexes(LastResponse)) {
        int result = SMS_TIMEOUT;
        try {
            result = ReadAndFile(index, true, message, true, status == "REC UNREAD");
        } catch (const std::exception&) {
        }
        if (result == SMS_TIMEOUT) break;   // the unit does not answer; ReadListOwed is set
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
    AwaitOwedAnswers();
    ClearReceived();
}
