// The AT-command engine: the reply matcher over the receive buffer, finding the unit,
// sending one SMS, and collecting received messages.
#pragma once
#include <cstdint>
#include <string>

// Serial input not yet consumed, and the text cut off at the last matched reply.
inline std::string ReceiveBuffer;
inline std::string LastResponse;

// Answers the unit still owes to deletes that went out without a wait for them. The unit
// answers in order, so they come in front of the answer to anything written later: each is
// taken out of ReceiveBuffer as soon as it is there whole (the first "OK" or error line), and
// no reply is matched while one is still owed. They are owed no more 5 s after the last delete
// went out (PendingDeleteSentMs, on the clock); closing the port forgets them along with
// ReceiveBuffer.
inline int PendingDeleteAnswers = 0;
inline int64_t PendingDeleteSentMs = 0;

// The next poll also lists the messages that the unit holds as read. Those can only be ones
// this program read and did not finish: a save that failed, a read or a listing that failed,
// a delete the unit refused, or an end of the program or of the line between the read and
// the delete. Set by each search for the unit (start-up, resume) and when a lost line came
// back, since a phone may also have left read messages on the SIM.
inline bool ReadListOwed = false;

// ReceiveBuffer keeps at most the newest ReceiveBufferCap bytes when nothing consumes it.
inline constexpr std::size_t ReceiveBufferCap = 64 * 1024;
// Appends serial input to ReceiveBuffer, applying the cap.
void AppendReceived(const std::string& text);

// The initialisation table: each command must be answered by its expected reply; the row
// "last" ends the table and is never sent.
struct InitCommand {
    const char* command;
    const char* reply;
    const char* error;
};
inline constexpr InitCommand InitCommands[] = {
    {"AT", "OK", "ERROR"},
    {"AT+CMGF=1", "OK", "ERROR"},
    {"last", "", ""},
};

// Result codes of SendSms, ReadMessage and ParseMessage.
enum SmsResult { SMS_SENT = 1, SMS_ERROR = 2, SMS_NOT_FOUND = 3, SMS_BUSY = 4, SMS_TIMEOUT = 5 };

struct SMSMessage {
    std::string Number;   // as the unit gives it, double quotes included
    std::string Text;
    std::string Date;     // "yyyy/mm/dd hh:mm:ss"
};

// Command channel and reply matcher.
int SendCommand(const std::string& text);
int WaitFor(int timeoutMs, const std::string& reply1, const std::string& reply2 = "",
            const std::string& reply3 = "", const std::string& reply4 = "");
bool InitModem();

// Finding the unit.
// Asks the device on the port whether it is the unit: its answer to "ATI9" holds "6B71".
// When it is, takes its version, notes the unit found and sends the initialisation string
// once. An error of the serial control reaches the caller.
bool IdentifyUnit();
bool PortExists(int n);
bool ProbePort(int n);
bool FindModem();

// Sending. The text goes out without characters 26 and 27 (26 would end the body early,
// 27 would cancel it), then cut to 160 characters.
std::string SendableText(const std::string& text);
int SendSms(const std::string& text, const std::string& number);
int SendSmsText(const std::string& text, const std::string& number);

// Receiving.
// A message leaves the unit only once the Inbox file holds it whole. Its text is all that
// comes between its header and the "OK" after which the unit falls silent, whatever lines it
// holds; a read that does not end so (no end, or more than ReceiveBuffer holds) files and
// deletes nothing. One that the unit reports as read before and that equals a message in the
// Inbox already is not filed again, only deleted.
void CheckUnsolicited();
int ReadMessage(int index, bool del, SMSMessage& message);
int ParseMessage(int index, bool del, SMSMessage& message);
// Lists the unread messages, and then the read ones when ReadListOwed was set, and reads
// each listed message with AT+CMGR: a list gives only indexes, since a text could pass for
// an entry of it. Waits at its end for the answers to its deletes.
void PollUnread();
