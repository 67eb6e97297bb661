// The compose window, the recipient chooser and the "Message not sent" dialog.
#pragma once
#include <QDialog>
#include <QPlainTextEdit>
#include <functional>
#include <optional>
#include <string>

class QAction;
class QLineEdit;
class QPushButton;
class QStatusBar;
class QLabel;
class QTreeWidget;
class TMSGFrame1;
class TPBFrame1;

// Longest text of one message; a line break counts as its two characters CR and LF.
inline constexpr int SmsMaxLength = 160;

// Length of a memo text as the message will carry it (each line break counts 2).
int MemoLength(const QString& plainText);
// Memo text <-> stored text (Windows-1252 bytes with CR LF line breaks).
std::string MemoTextToCp1252(const QString& plainText);
QString MemoTextFromCp1252(const std::string& bytes);

// The number without one pair of surrounding double quotes ("\"+4412\"" -> "+4412"), as
// the Reply openers put it into the recipient box; anything else comes back unchanged.
std::string UnquoteNumber(const std::string& number);

// Resolves a recipient as typed: a phonebook name (through lookup) gives that entry's
// number; otherwise the digits, skipping blanks, "-", "(", ")" and "+". Returns false
// for any other character. Separators only (or nothing) give an empty number.
using NumberLookup = std::function<bool(const std::string& name, std::string& number)>;
bool ResolveRecipient(const std::string& typed, const NumberLookup& lookup, std::string& number);

// The call that sends one message (text, number) -> result code. Empty: the engine's
// SendSms. Returns the previous one.
using SmsSender = std::function<int(const std::string& text, const std::string& number)>;
SmsSender SetComposeSender(SmsSender sender);

// A multi-line text box that refuses typing, pasting and dropping beyond maxLength
// characters (a line break counts 2). Text set by the program is not cut.
class TLimitedMemo : public QPlainTextEdit {
    Q_OBJECT
public:
    explicit TLimitedMemo(int maxLength, QWidget* parent = nullptr);
    int maxLength() const { return maxLength_; }
protected:
    void keyPressEvent(QKeyEvent* event) override;
    void insertFromMimeData(const QMimeData* source) override;
    void inputMethodEvent(QInputMethodEvent* event) override;
private:
    int room() const;   // characters that may still be added in place of the selection
    int maxLength_;
};

class TFrmCompose : public QDialog {
    Q_OBJECT
public:
    explicit TFrmCompose(QWidget* parent = nullptr);
    ~TFrmCompose() override;

    int ShowModal();                 // through the modal seam
    void SetMemoText(const QString& text);   // runs MemoSMSChange when the text differs
    void SetRecipient(const QString& text);  // runs EditToChange when the text differs
    void FocusMemoAtStart();         // caret to position 0, MemoSMS the active control

    // Edit and Resend from Drafts: the opener names the draft (row of the Drafts list)
    // before ShowModal. The draft stays in the list and its file until the outcome is
    // known: a send, a discard or a close with an empty text or just the signature
    // removes it, saving to Drafts again replaces it, and a modal run that ends without
    // the window closing (the program quits) leaves it where it is.
    void SetPendingDraft(TMSGFrame1* drafts, int row);
    void SetPendingDraft(TMSGFrame1* drafts, const std::string& number,
                         const std::string& text, const std::string& date);
    void ClearPendingDraft();
    bool HasPendingDraft() const { return pending_.has_value(); }

    void MemoSMSChange();
    void EditToChange();
    void ActionSendExecute();
    void ClearMessageExecute();
    void BtnToClick();
    void ActionCloseExecute();
    void HelpExecute();
    void FormShow();
    bool FormCloseQuery();           // true: the close may go on
    void FormClose();

    // Every way of closing (File Close, Esc, the close box, the close after a send)
    // passes FormCloseQuery and then FormClose.
    void done(int result) override;

    // Message text as it is sent: Windows-1252, line breaks CR LF.
    std::string MessageText() const;

    // The panes used; null means the main window's.
    TPBFrame1* PhonebookFrame = nullptr;
    TMSGFrame1* SentFrame = nullptr;
    TMSGFrame1* DraftsFrame = nullptr;

    QLineEdit* EditTo = nullptr;
    QPlainTextEdit* MemoSMS = nullptr;
    QPushButton* BtnTo = nullptr;
    QStatusBar* ComposeStatus = nullptr;
    QLabel* StatusPanel0 = nullptr;
    QLabel* StatusPanel1 = nullptr;
    QAction* ActionSend = nullptr;
    QAction* ClearMessage = nullptr;
    QAction* ActionClose = nullptr;
    QAction* Help = nullptr;
    QAction* EditCut1 = nullptr;
    QAction* EditCopy1 = nullptr;
    QAction* EditPaste1 = nullptr;
    QAction* EditSelectAll1 = nullptr;
    QAction* EditUndo1 = nullptr;
    QAction* EditDelete1 = nullptr;

protected:
    bool event(QEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    struct PendingDraft {
        TMSGFrame1* list;
        std::string number, text, date;
    };
    TPBFrame1* Phonebook() const;
    TMSGFrame1* Sent() const;
    TMSGFrame1* Drafts() const;
    void SettlePendingDraft();   // removes the pending draft from its list and file
    void EditCommand(int command);

    std::optional<PendingDraft> pending_;
    bool focusMemoOnShow_ = false;
};

class TFrmRecipient : public QDialog {
    Q_OBJECT
public:
    explicit TFrmRecipient(QWidget* parent = nullptr);
    ~TFrmRecipient() override;
    void OKBtnClick();
    QTreeWidget* rcplist = nullptr;
    QPushButton* OKBtn = nullptr;
    QPushButton* CancelBtn = nullptr;
    TFrmCompose* Target = nullptr;   // whose EditTo the choice fills; null: FrmCompose
protected:
    void keyPressEvent(QKeyEvent* event) override;
};

class TComposeCloseDlg : public QDialog {
    Q_OBJECT
public:
    explicit TComposeCloseDlg(QWidget* parent = nullptr);
    ~TComposeCloseDlg() override;
    int ShowModal();
    // Ends through one of the three buttons only: Esc and the window's close are refused.
    void reject() override;
    QLabel* Label1 = nullptr;
    QPushButton* Button1 = nullptr;   // "&Send now"      -> 1
    QPushButton* Button2 = nullptr;   // "&Discard Message" -> 2
    QPushButton* Button3 = nullptr;   // "S&ave to Drafts" -> 3
};

extern TFrmCompose* FrmCompose;
extern TFrmRecipient* FrmRecipient;
extern TComposeCloseDlg* ComposeCloseDlg;
extern bool ComposeCheckOnClose;
