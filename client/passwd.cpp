#include "client/passwd.h"

#include <QEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

#include "platform/qt/dialogs.h"

TFrmPass* FrmPass = nullptr;

TFrmPass::TFrmPass(QWidget* parent) : QDialog(parent) {
    if (!FrmPass) FrmPass = this;
    setWindowTitle(QStringLiteral("Password"));
    // A title but no title-bar buttons.
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
    resize(277, 153);
    move(214, 115);

    lblinfo = new QLabel(QStringLiteral("To change the settings you must enter your password"), this);
    lblinfo->setWordWrap(true);
    EditPass = new QLineEdit(this);
    platform::MaskWithStars(*EditPass);
    btnOK = new QPushButton(QStringLiteral("&OK"), this);
    btnOK->setDefault(true);
    btnOK->setAutoDefault(true);
    connect(btnOK, &QPushButton::clicked, this, [this] { btnOKClick(); });

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(lblinfo);
    layout->addWidget(EditPass);
    layout->addWidget(btnOK, 0, Qt::AlignHCenter);
}

TFrmPass::~TFrmPass() {
    if (FrmPass == this) FrmPass = nullptr;
}

int TFrmPass::ShowModal() { return platform::ExecModal(*this); }

void TFrmPass::btnOKClick() { done(QDialog::Accepted); }

void TFrmPass::reject() {}

// Resizable, but a window manager that offers to maximise it anyway is undone at once.
void TFrmPass::changeEvent(QEvent* event) {
    QDialog::changeEvent(event);
    const Qt::WindowStates blown = Qt::WindowMaximized | Qt::WindowFullScreen;
    if (event->type() == QEvent::WindowStateChange && (windowState() & blown))
        QTimer::singleShot(0, this, [this, blown] { setWindowState(windowState() & ~blown); });
}
