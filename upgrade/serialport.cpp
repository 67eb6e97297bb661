#include "upgrade/serialport.h"

#include <QComboBox>
#include <QHBoxLayout>
#include <QPushButton>
#include <QVBoxLayout>

#include "platform/comports.h"
#include "platform/qt/dialogs.h"
#include "platform/settingsstore.h"

namespace upgrade {
namespace {

const char kApp[] = "VardelUPG";
const char kSection[] = "Port";
const char kKey[] = "COMport";
constexpr int kLastPort = 99;

} // namespace

int ReadPortSetting() {
    const std::string text = platform::GetSetting(kApp, kSection, kKey, "-1");
    std::size_t i = text.size() > 1 && text[0] == '-' ? 1 : 0;
    if (i == text.size() || text.size() - i > 9) return -1;
    for (std::size_t k = i; k < text.size(); ++k)
        if (text[k] < '0' || text[k] > '9') return -1;
    return std::stoi(text);
}

void SavePortSetting(int port) {
    platform::SaveSetting(kApp, kSection, kKey, std::to_string(port));
}

bool PortCanOpen(int n) {
    return !platform::ResolveComPort(n).empty() && platform::ComPortExists(n) &&
           !platform::ComPortBusy(n);
}

SerialPort::SerialPort(QWidget* parent) : QDialog(parent) {
    setObjectName("SerialPort");
    setWindowTitle("COM port");
    Combo1 = new QComboBox(this);
    Combo1->setObjectName("Combo1");
    cmdCancel = new QPushButton("&Cancel", this);
    cmdCancel->setObjectName("cmdCancel");
    cmdOK = new QPushButton("&OK", this);
    cmdOK->setObjectName("cmdOK");
    cmdOK->setDefault(true);

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(cmdCancel);
    buttons->addStretch();
    buttons->addWidget(cmdOK);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(Combo1);
    layout->addLayout(buttons);

    connect(cmdOK, &QPushButton::clicked, this, &SerialPort::cmdOK_Click);
    connect(cmdCancel, &QPushButton::clicked, this, &SerialPort::cmdCancel_Click);
    Form_Load();
}

void SerialPort::Form_Load() {
    Combo1->clear();
    const int saved = ReadPortSetting();
    for (int n = 0; n <= kLastPort; ++n) {
        if (PortCanOpen(n)) Combo1->addItem(QString("COM%1").arg(n), n);
    }
    Combo1->setCurrentIndex(Combo1->findData(saved));   // -1 when absent: none current
}

void SerialPort::cmdOK_Click() {
    if (Combo1->currentIndex() >= 0) SavePortSetting(Combo1->currentData().toInt());
    accept();
}

void SerialPort::cmdCancel_Click() { reject(); }

void ShowSerialPort(QWidget* parent) {
    SerialPort dialog(parent);
    platform::ExecModal(dialog);
}

} // namespace upgrade
