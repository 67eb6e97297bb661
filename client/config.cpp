#include "client/config.h"

#include <QCheckBox>
#include <QComboBox>
#include <QEventLoop>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStyleOptionButton>
#include <QStylePainter>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>
#include <stdexcept>

#include "client/compose.h"
#include "client/mainunit.h"
#include "engine/globals.h"
#include "engine/mainwindow.h"
#include "engine/serparse.h"
#include "engine/settings.h"
#include "platform/boxes.h"
#include "platform/datadir.h"
#include "platform/process.h"
#include "platform/qt/dialogs.h"
#include "platform/qt/help.h"

TFormOptions* FormOptions = nullptr;

namespace {

std::string g_toolDir;

// Memo text as stored: Windows-1252 with CR LF line breaks.
std::string MemoToSetting(const QPlainTextEdit* memo) {
    QString text = memo->toPlainText();
    text.replace(QLatin1Char('\n'), QStringLiteral("\r\n"));
    return platform::ToCp1252(text);
}

// The window that owns the serial port: the main window, or whatever the engine talks to.
IMainWindow* PortOwner() {
    if (MainForm) return MainForm;
    try {
        return &MainWindow();
    } catch (const std::logic_error&) {
        return nullptr;
    }
}

// The port the serial control is set to; the setting when there is no main window.
int CurrentCommPort() {
    if (MainForm) return MainForm->MSComm1.CommPort();
    return Settings.Port;
}

// A check box whose caption wraps onto more lines when the dialog is too narrow for it.
class WrappingCheckBox : public QCheckBox {
public:
    using QCheckBox::QCheckBox;
    QSize minimumSizeHint() const override {
        return {Indent(Option()) + fontMetrics().horizontalAdvance(QStringLiteral("W")) * 6,
                QCheckBox::minimumSizeHint().height()};
    }
protected:
    bool hitButton(const QPoint& pos) const override { return rect().contains(pos); }
    // The layout learns the height that the wrapped caption needs at the width it gave.
    void resizeEvent(QResizeEvent* event) override {
        QCheckBox::resizeEvent(event);
        const int room = std::max(1, width() - Indent(Option()));
        const QRect used = fontMetrics().boundingRect(QRect(0, 0, room, 10000), Flags(), text());
        const int height = std::max(QCheckBox::sizeHint().height(), used.height() + 4);
        if (minimumHeight() != height) setMinimumHeight(height);
    }
    void paintEvent(QPaintEvent*) override {
        QStylePainter painter(this);
        QStyleOptionButton opt = Option();
        const QString caption = opt.text;
        opt.text.clear();
        painter.drawControl(QStyle::CE_CheckBox, opt);
        const QRect area = rect().adjusted(Indent(opt), 0, 0, 0);
        painter.drawItemText(area, Flags(), opt.palette, isEnabled(), caption,
                             QPalette::WindowText);
    }
private:
    static int Flags() {
        return Qt::AlignLeft | Qt::AlignVCenter | Qt::TextWordWrap | Qt::TextShowMnemonic;
    }
    QStyleOptionButton Option() const {
        QStyleOptionButton opt;
        initStyleOption(&opt);
        return opt;
    }
    int Indent(const QStyleOptionButton& opt) const {
        return style()->pixelMetric(QStyle::PM_IndicatorWidth, &opt, this)
            + style()->pixelMetric(QStyle::PM_CheckBoxLabelSpacing, &opt, this);
    }
};

// The port box. Qt's editable box also selects the entry that matches a typed text, and
// reports it as activated, when editing ends (Enter, or the focus leaving the box); only a
// pick from the list (the drop-down, arrow keys, the wheel) counts as one here.
class PortBox : public QComboBox {
public:
    explicit PortBox(QWidget* parent) : QComboBox(parent) {
        setEditable(true);
        setInsertPolicy(QComboBox::NoInsert);
        connect(lineEdit(), &QLineEdit::textEdited, this, [this] {
            typed_ = true;
            picked_ = false;
        });
        connect(this, &QComboBox::activated, this, [this](int) {
            if (!typed_) picked_ = true;
        });
    }
    // Whether an entry was picked since the last Reset and no text typed after it.
    bool Picked() const { return picked_; }
    void showPopup() override {
        typed_ = false;
        QComboBox::showPopup();
    }
    void Reset() { typed_ = picked_ = false; }
protected:
    void keyPressEvent(QKeyEvent* event) override {
        switch (event->key()) {
        case Qt::Key_Up: case Qt::Key_Down: case Qt::Key_PageUp: case Qt::Key_PageDown:
            typed_ = false;
            break;
        default:
            break;
        }
        QComboBox::keyPressEvent(event);
    }
    void wheelEvent(QWheelEvent* event) override {
        typed_ = false;
        QComboBox::wheelEvent(event);
    }
private:
    bool typed_ = false;
    bool picked_ = false;
};

// Waits for the program to end while the window keeps handling its events.
void WaitForChild(platform::ChildProcess& child) {
    if (child.Finished()) return;
    QEventLoop loop;
    QTimer timer;
    timer.setInterval(100);
    QObject::connect(&timer, &QTimer::timeout, &loop, [&] {
        if (child.Finished()) loop.quit();
    });
    timer.start();
    loop.exec();
}

} // namespace

void SetAdvancedToolDir(const std::string& dir) { g_toolDir = dir; }

std::string AdvancedToolPath() {
    std::string dir = g_toolDir.empty() ? platform::ProgramDir() : g_toolDir;
    if (!dir.empty() && dir.back() != '/') dir += '/';
    return dir + AdvancedToolName;
}

TFormOptions::TFormOptions(QWidget* parent) : QDialog(parent) {
    if (!FormOptions) FormOptions = this;
    setWindowTitle(QStringLiteral("Settings"));
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint);

    auto* modem = new QGroupBox(QStringLiteral("Modem Settings"), this);
    txtInit = new QLineEdit(modem);
    cmbport = new PortBox(modem);
    chkPDU = new QCheckBox(QStringLiteral("PDU Mode"), modem);
    chkPDU->setVisible(false);
    auto* modemLayout = new QFormLayout(modem);
    modemLayout->addRow(QStringLiteral("Initialisation String"), txtInit);
    modemLayout->addRow(QStringLiteral("COM Port"), cmbport);
    modemLayout->addRow(chkPDU);

    auto* options = new QGroupBox(QStringLiteral("Options"), this);
    chkClearCompose =
        new WrappingCheckBox(QStringLiteral("Clear the composed message after sending"), options);
    (new QVBoxLayout(options))->addWidget(chkClearCompose);

    auto* signature = new QGroupBox(QStringLiteral("Signature"), this);
    MemoSig = new TLimitedMemo(SmsMaxLength, signature);
    (new QVBoxLayout(signature))->addWidget(MemoSig);

    auto* advanced = new QGroupBox(QStringLiteral("Advanced"), this);
    btnAdvanced = new QPushButton(QStringLiteral("Advanced Corvane settings"), advanced);
    connect(btnAdvanced, &QPushButton::clicked, this, [this] { btnAdvancedClick(); });
    (new QVBoxLayout(advanced))->addWidget(btnAdvanced);

    auto* password = new QGroupBox(QStringLiteral("Password Protection"), this);
    chkpass = new QCheckBox(QStringLiteral("Require password to change settings"), password);
    connect(chkpass, &QCheckBox::clicked, this, [this] { chkpassClick(); });
    lblpass1 = new QLabel(QStringLiteral("Password"), password);
    lblpass2 = new QLabel(QStringLiteral("Repeat Password"), password);
    EditPass = new QLineEdit(password);
    platform::MaskWithStars(*EditPass);
    EditPass2 = new QLineEdit(password);
    platform::MaskWithStars(*EditPass2);
    auto* passLayout = new QFormLayout(password);
    passLayout->addRow(chkpass);
    passLayout->addRow(lblpass1, EditPass);
    passLayout->addRow(lblpass2, EditPass2);
    for (QWidget* w : {static_cast<QWidget*>(lblpass1), static_cast<QWidget*>(lblpass2),
                       static_cast<QWidget*>(EditPass), static_cast<QWidget*>(EditPass2)})
        w->setEnabled(false);

    btnOK = new QPushButton(QStringLiteral("&OK"), this);
    btnOK->setDefault(true);
    btnCancel = new QPushButton(QStringLiteral("&Cancel"), this);
    connect(btnOK, &QPushButton::clicked, this, [this] { btnOKClick(); });
    connect(btnCancel, &QPushButton::clicked, this, [this] { btnCancelClick(); });
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(btnOK);
    buttons->addWidget(btnCancel);


    auto* layout = new QVBoxLayout(this);
    layout->addWidget(modem);
    layout->addWidget(options);
    layout->addWidget(signature, 1);
    layout->addWidget(advanced);
    layout->addWidget(password);
    layout->addLayout(buttons);
    // Narrow margins, so that every control fits the dialog's fixed size.
    for (QGroupBox* box : findChildren<QGroupBox*>()) {
        box->layout()->setContentsMargins(8, 2, 8, 6);
        box->layout()->setSpacing(4);
    }
    layout->setContentsMargins(8, 6, 8, 8);
    layout->setSpacing(4);
    setFixedSize(291, 473);
}

TFormOptions::~TFormOptions() {
    if (FormOptions == this) FormOptions = nullptr;
}

int TFormOptions::ShowModal() {
    FormShow();
    return platform::ExecModal(*this);
}

void TFormOptions::FormShow() {
    txtInit->setText(platform::FromCp1252(Settings.Init));
    chkPDU->setChecked(Settings.PduMode);
    MemoSig->setPlainText(MemoTextFromCp1252(Settings.Signature));
    chkClearCompose->setChecked(Settings.ClearCompose);
    EditPass->setText(platform::FromCp1252(Settings.Password));
    EditPass2->setText(platform::FromCp1252(Settings.Password));
    chkpass->setChecked(Settings.UsePass);
    // The stored password shows (masked) only while it is in force.
    if (!Settings.UsePass) {
        EditPass->clear();
        EditPass2->clear();
    }
    chkpassClick();

    cmbport->clear();
    int current = 0;
    try {
        current = CurrentCommPort();
    } catch (...) {
        current = Settings.Port;
    }
    for (int n = 1; n <= 49; ++n) {
        bool exists = false;
        try {
            exists = PortExists(n);
        } catch (...) {
        }
        if (exists) cmbport->addItem(QStringLiteral("COM%1").arg(n));
    }
    cmbport->setCurrentIndex(-1);
    cmbport->setEditText(QStringLiteral("COM%1").arg(current));
    static_cast<PortBox*>(cmbport)->Reset();
}

void TFormOptions::chkpassClick() {
    const bool on = chkpass->isChecked();
    lblpass1->setEnabled(on);
    lblpass2->setEnabled(on);
    EditPass->setEnabled(on);
    EditPass2->setEnabled(on);
}

void TFormOptions::btnOKClick() {
    if (chkpass->isChecked()) {
        if (EditPass->text().isEmpty()) {
            platform::MessageBox("No Password entered", "Error");
            return;
        }
        if (EditPass->text() != EditPass2->text()) {
            platform::MessageBox("Passwords do not match", "Error");
            return;
        }
    }

    Settings.Init = platform::ToCp1252(txtInit->text());
    Settings.PduMode = chkPDU->isChecked();
    Settings.Signature = MemoToSetting(MemoSig);
    Settings.ClearCompose = chkClearCompose->isChecked();
    Settings.Password = platform::ToCp1252(EditPass->text());
    Settings.UsePass = chkpass->isChecked();

    // A pick from the list counts; text typed into the box does not.
    if (static_cast<PortBox*>(cmbport)->Picked() && cmbport->currentIndex() >= 0) {
        try {
            const std::string entry = platform::ToCp1252(cmbport->itemText(cmbport->currentIndex()));
            // Closed directly: the engine's receive buffer keeps what it holds.
            if (MainForm && MainForm->MSComm1.PortOpen()) MainForm->MSComm1.SetPortOpen(false);
            const int n = std::stoi(entry.substr(3));
            if (n != Settings.Port) {
                Settings.Port = n;
                // The probe blocks this thread: the dialog is painted as it now stands.
                platform::PaintWindowsNow();
                if (!ProbePort(n))
                    platform::MessageBox("The Corvane modem unit was not found on your chosen port.",
                                         "Error");
            }
            if (IMainWindow* owner = PortOwner()) {
                owner->SetPort(Settings.Port);
                owner->OpenPort(Settings.Port);
            }
        } catch (const platform::UnansweredBox&) {
            throw;
        } catch (...) {
            // A failing port change is skipped; the settings are saved all the same.
        }
    }

    SaveSettings();
    done(QDialog::Accepted);
}

void TFormOptions::btnCancelClick() { done(QDialog::Rejected); }

void TFormOptions::btnAdvancedClick() {
    if (RunningTool) return;
    const std::string path = AdvancedToolPath();
    // The outside program needs the serial port to itself.
    IMainWindow* owner = PortOwner();
    if (owner) owner->ClosePort();

    platform::ChildProcess child;
    if (!child.Start(path, {AdvancedToolArgument})) {
        // Missing or refused: nothing is said, and the port is not left closed.
        if (owner) owner->OpenPort(0);
        return;
    }

    RunningTool = true;
    setEnabled(false);
    WaitForChild(child);
    RunningTool = false;
    setEnabled(true);
    if (owner) owner->OpenPort(0);
}

bool TFormOptions::FormCloseQuery() { return !RunningTool; }

void TFormOptions::done(int result) {
    if (!FormCloseQuery()) return;
    QDialog::done(result);
}

void TFormOptions::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_F1) {
        platform::ShowHelp(170);
        return;
    }
    QDialog::keyPressEvent(event);
}
