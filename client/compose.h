// The compose window, the recipient chooser and the "Message not sent" dialog.
#pragma once
#include <QDialog>

class QAction;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QStatusBar;
class QLabel;
class QTreeWidget;

class TFrmCompose : public QDialog {
    Q_OBJECT
public:
    explicit TFrmCompose(QWidget* parent = nullptr);

    int ShowModal();                 // through the modal seam
    void SetMemoText(const QString& text);   // runs MemoSMSChange when the text differs
    void SetRecipient(const QString& text);  // runs EditToChange when the text differs
    void FocusMemoAtStart();         // caret to position 0, MemoSMS the active control

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

    QLineEdit* EditTo = nullptr;
    QPlainTextEdit* MemoSMS = nullptr;
    QPushButton* BtnTo = nullptr;
    QStatusBar* ComposeStatus = nullptr;
    QLabel* StatusPanel0 = nullptr;
    QLabel* StatusPanel1 = nullptr;
    QAction* ActionSend = nullptr;
    QAction* ClearMessage = nullptr;
    QAction* ActionClose = nullptr;
};

class TFrmRecipient : public QDialog {
    Q_OBJECT
public:
    explicit TFrmRecipient(QWidget* parent = nullptr);
    void OKBtnClick();
    QTreeWidget* rcplist = nullptr;
    QPushButton* OKBtn = nullptr;
    QPushButton* CancelBtn = nullptr;
};

class TComposeCloseDlg : public QDialog {
    Q_OBJECT
public:
    explicit TComposeCloseDlg(QWidget* parent = nullptr);
    QPushButton* Button1 = nullptr;   // "&Send now"      -> 1
    QPushButton* Button2 = nullptr;   // "&Discard Message" -> 2
    QPushButton* Button3 = nullptr;   // "S&ave to Drafts" -> 3
};

extern TFrmCompose* FrmCompose;
extern TFrmRecipient* FrmRecipient;
extern TComposeCloseDlg* ComposeCloseDlg;
extern bool ComposeCheckOnClose;
