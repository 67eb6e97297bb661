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
    int ShowModal();
    void btnOKClick();
    QLabel* lblinfo = nullptr;
    QLineEdit* EditPass = nullptr;
    QPushButton* btnOK = nullptr;
};

extern TFrmPass* FrmPass;
