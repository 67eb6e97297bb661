// The settings dialog.
#pragma once
#include <QDialog>
#include <string>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;

class TFormOptions : public QDialog {
    Q_OBJECT
public:
    explicit TFormOptions(QWidget* parent = nullptr);
    ~TFormOptions() override;

    int ShowModal();    // through the modal seam; runs FormShow first
    void FormShow();
    void chkpassClick();
    void btnOKClick();
    void btnCancelClick();
    void btnAdvancedClick();
    bool FormCloseQuery();

    // Every way of ending the dialog passes FormCloseQuery.
    void done(int result) override;

    QLineEdit* txtInit = nullptr;
    QCheckBox* chkPDU = nullptr;
    QPlainTextEdit* MemoSig = nullptr;
    QCheckBox* chkClearCompose = nullptr;
    QCheckBox* chkpass = nullptr;
    QLabel* lblpass1 = nullptr;
    QLabel* lblpass2 = nullptr;
    QLineEdit* EditPass = nullptr;
    QLineEdit* EditPass2 = nullptr;
    QComboBox* cmbport = nullptr;
    QPushButton* btnOK = nullptr;
    QPushButton* btnCancel = nullptr;
    QPushButton* btnAdvanced = nullptr;
    bool RunningTool = false;

protected:
    void keyPressEvent(QKeyEvent* event) override;
};

extern TFormOptions* FormOptions;

// The outside settings program, its argument, and the folder it is looked for in
// (the program's directory unless a folder was set; "" restores that).
inline const char* const AdvancedToolName = "Corvanecfg";
inline const char* const AdvancedToolArgument = "corvane";
void SetAdvancedToolDir(const std::string& dir);
std::string AdvancedToolPath();
