// The port dialog: lists the serial ports that can be opened (COM0 to COM99) and stores the
// one chosen in the updater's own port setting.
#pragma once
#include <QDialog>

class QComboBox;
class QPushButton;

namespace upgrade {

// The updater port setting: application "VardelUPG", section "Port", key "COMport".
// Reads -1 when it is missing or not a decimal integer.
int ReadPortSetting();
void SavePortSetting(int port);

// True when COM<n> exists and no other program holds it.
bool PortCanOpen(int n);

class SerialPort : public QDialog {
    Q_OBJECT
public:
    explicit SerialPort(QWidget* parent = nullptr);

    // Fills the list and selects the stored port; runs when the dialog is built.
    void Form_Load();
    void cmdOK_Click();
    void cmdCancel_Click();

    QComboBox* Combo1;
    QPushButton* cmdCancel;
    QPushButton* cmdOK;
};

// Builds the dialog afresh and shows it modally.
void ShowSerialPort(QWidget* parent);

} // namespace upgrade
