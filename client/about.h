// The about box.
#pragma once
#include <QDialog>

class QLabel;
class QPushButton;

class TAboutBox : public QDialog {
    Q_OBJECT
public:
    explicit TAboutBox(QWidget* parent = nullptr);
    int ShowModal();
    void OKButtonClick();
    void lblsupportClick();
    QLabel* ProgramIcon = nullptr;
    QLabel* Version = nullptr;
    QLabel* lblsupport = nullptr;
    QPushButton* OKButton = nullptr;
};

extern TAboutBox* AboutBox;
