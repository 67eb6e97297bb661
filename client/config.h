// The settings dialog.
#pragma once
#include <QDialog>

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

    int ShowModal();    // through the modal seam; runs FormShow first
    void FormShow();
    void chkpassClick();
    void btnOKClick();
    void btnCancelClick();
    void btnAdvancedClick();
    bool FormCloseQuery();

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
};

extern TFormOptions* FormOptions;
