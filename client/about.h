// The about box.
#pragma once
#include <QDialog>
#include <QString>
#include <functional>

class QFrame;
class QLabel;
class QPixmap;
class QPushButton;

class TAboutBox : public QDialog {
    Q_OBJECT
public:
    explicit TAboutBox(QWidget* parent = nullptr);
    ~TAboutBox() override;
    int ShowModal();
    void OKButtonClick();
    void lblsupportClick();
    QFrame* Panel1 = nullptr;
    QLabel* ProgramIcon = nullptr;
    QLabel* Version = nullptr;
    QLabel* lblsupport = nullptr;
    QPushButton* OKButton = nullptr;
};

extern TAboutBox* AboutBox;

// The program's file version ("1.0.1.12").
QString ProgramFileVersion();
// "Version " + file version + "." + modem version.
QString AboutVersionLine(const std::string& modemVersion);
// The product picture, drawn in code (235 by 189 pixels).
QPixmap ProductPicture();

// Opens a web address; the default hands it to the desktop. Returns the previous opener.
using UrlOpener = std::function<bool(const QString& address)>;
UrlOpener SetUrlOpener(UrlOpener opener);
