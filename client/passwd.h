// The password prompt.
#pragma once
#include <QDialog>

class QLabel;
class QLineEdit;
class QPushButton;

class TFrmPass : public QDialog {
    Q_OBJECT
public:
    explicit TFrmPass(QWidget* parent = nullptr);
    ~TFrmPass() override;
    int ShowModal();
    void btnOKClick();
    // The prompt ends through OK only: Esc and the window's close are refused.
    void reject() override;
    QLabel* lblinfo = nullptr;
    QLineEdit* EditPass = nullptr;
    QPushButton* btnOK = nullptr;

protected:
    void changeEvent(QEvent* event) override;
};

extern TFrmPass* FrmPass;
