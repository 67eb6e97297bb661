#include "client/about.h"

#include <QDesktopServices>
#include <QFrame>
#include <QKeyEvent>
#include <QLabel>
#include <QLinearGradient>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QPushButton>
#include <QUrl>
#include <algorithm>

#include "engine/globals.h"
#include "platform/qt/dialogs.h"

#ifndef CORVANE_VERSION
#define CORVANE_VERSION "0.0.0.0"
#endif

TAboutBox* AboutBox = nullptr;

namespace {

UrlOpener g_opener;

bool OpenUrl(const QString& address) {
    if (g_opener) return g_opener(address);
    return QDesktopServices::openUrl(QUrl(address));
}

// A label that reports clicks (the support link).
class TLinkLabel : public QLabel {
public:
    using QLabel::QLabel;
    std::function<void()> onClick;
protected:
    void mouseReleaseEvent(QMouseEvent* event) override {
        if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint())
            && onClick)
            onClick();
        QLabel::mouseReleaseEvent(event);
    }
};

// Bold black text straight on the picture.
void StyleOnPicture(QLabel* label) {
    QFont font = label->font();
    font.setBold(true);
    label->setFont(font);
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, Qt::black);
    label->setPalette(palette);
    label->setAutoFillBackground(false);
}

// Places a label at x, y; a text too wide for the panel moves left and, if need be, gets a
// smaller font, so the whole text stays readable.
void FitInPanel(QLabel* label, int x, int y) {
    const int right = label->parentWidget()->width() - 8;
    QFont font = label->font();
    label->adjustSize();
    while (label->width() > right - 8 && font.pointSizeF() > 6) {
        font.setPointSizeF(font.pointSizeF() - 0.5);
        label->setFont(font);
        label->adjustSize();
    }
    label->move(std::max(8, std::min(x, right - label->width())), y);
}

// Places a label at x, y, its text wrapped at the panel's right margin; a text that would
// still reach down to bottom, or has a word too long for a line, gets a smaller font.
void WrapInPanel(QLabel* label, int x, int y, int bottom) {
    const int room = label->parentWidget()->width() - 8 - x;
    QFont font = label->font();
    label->setWordWrap(true);
    auto fits = [&] {
        const QFontMetrics metrics(font);
        for (const QString& word : label->text().split(QLatin1Char(' ')))
            if (metrics.horizontalAdvance(word) > room) return false;
        return label->heightForWidth(room) <= bottom - y;
    };
    while (!fits() && font.pointSizeF() > 6) {
        font.setPointSizeF(font.pointSizeF() - 0.5);
        label->setFont(font);
    }
    label->setGeometry(x, y, room, label->heightForWidth(room));
}

} // namespace

UrlOpener SetUrlOpener(UrlOpener opener) {
    UrlOpener previous = std::move(g_opener);
    g_opener = std::move(opener);
    return previous;
}

QString ProgramFileVersion() { return QStringLiteral(CORVANE_VERSION); }

QString AboutVersionLine(const std::string& modemVersion) {
    return QStringLiteral("Version ") + ProgramFileVersion() + QLatin1Char('.')
        + platform::FromCp1252(modemVersion);
}

QPixmap ProductPicture() {
    QPixmap pixmap(235, 189);
    pixmap.fill(Qt::white);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);

    QLinearGradient sky(0, 0, 0, 189);
    sky.setColorAt(0.0, QColor(250, 252, 255));
    sky.setColorAt(1.0, QColor(196, 214, 236));
    p.fillRect(pixmap.rect(), sky);

    // A short antenna with radio waves, below the band where the link sits.
    p.setPen(QPen(QColor(40, 40, 48), 4, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(190, 114), QPointF(194, 100));
    p.setPen(QPen(QColor(70, 110, 170), 1.6));
    for (int r = 4; r <= 10; r += 3)
        p.drawArc(QRectF(194 - r, 100 - r, 2 * r, 2 * r), 20 * 16, 140 * 16);

    // The unit: a rounded box with a front panel.
    QPainterPath body;
    body.addRoundedRect(QRectF(30, 112, 176, 56), 10, 10);
    QLinearGradient metal(0, 112, 0, 168);
    metal.setColorAt(0.0, QColor(92, 98, 112));
    metal.setColorAt(1.0, QColor(38, 42, 52));
    p.setPen(QPen(QColor(20, 20, 26), 1.5));
    p.fillPath(body, metal);
    p.drawPath(body);
    p.fillRect(QRectF(40, 150, 156, 4), QColor(30, 32, 40));

    // Status lights.
    const QColor lights[] = {QColor(80, 220, 90), QColor(250, 190, 40), QColor(230, 60, 50)};
    for (int i = 0; i < 3; ++i) {
        p.setBrush(lights[i]);
        p.setPen(Qt::NoPen);
        p.drawEllipse(QPointF(52 + 16 * i, 128), 4, 4);
    }

    // Name plate.
    QFont font(QStringLiteral("Sans"), 13, QFont::Bold);
    p.setFont(font);
    p.setPen(QColor(235, 238, 245));
    p.drawText(QRectF(96, 116, 104, 26), Qt::AlignCenter, QStringLiteral("Corvane"));
    font.setPointSize(7);
    font.setBold(false);
    p.setFont(font);
    p.drawText(QRectF(96, 136, 104, 12), Qt::AlignCenter, QStringLiteral("GSM SMS modem"));
    p.end();
    return pixmap;
}

TAboutBox::TAboutBox(QWidget* parent) : QDialog(parent) {
    if (!AboutBox) AboutBox = this;
    setWindowTitle(QStringLiteral("About"));
    setFixedSize(263, 243);
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint);

    Panel1 = new QFrame(this);
    Panel1->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    Panel1->setLineWidth(2);
    Panel1->setGeometry(8, 8, 249, 201);

    ProgramIcon = new QLabel(Panel1);
    ProgramIcon->setGeometry(8, 8, 235, 189);
    ProgramIcon->setScaledContents(true);
    ProgramIcon->setPixmap(ProductPicture());

    Version = new QLabel(QStringLiteral("V 00.00.00"), Panel1);
    Version->setTextFormat(Qt::PlainText);   // the unit's answer is text, never markup
    Version->move(8, 8);
    StyleOnPicture(Version);

    auto* link = new TLinkLabel(Panel1);
    link->onClick = [this] { lblsupportClick(); };
    lblsupport = link;
    lblsupport->setTextFormat(Qt::PlainText);
    lblsupport->move(56, 72);
    StyleOnPicture(lblsupport);
    lblsupport->setCursor(Qt::PointingHandCursor);
    lblsupport->setToolTip(QStringLiteral("Go to the Corvane website for support and information"));

    OKButton = new QPushButton(QStringLiteral("OK"), this);
    OKButton->setGeometry(95, 212, 75, 25);
    OKButton->setDefault(true);
    connect(OKButton, &QPushButton::clicked, this, [this] { OKButtonClick(); });

    // The program carries its version and product name, so both are always at hand.
    Version->setText(AboutVersionLine(Settings.ModemVersion));
    WrapInPanel(Version, 8, 8, 72);
    setWindowTitle(QString::fromStdString(CaptionBase));
    lblsupport->setText(platform::FromCp1252(ProductWebAddress));
    FitInPanel(lblsupport, 56, 72);
}

TAboutBox::~TAboutBox() {
    if (AboutBox == this) AboutBox = nullptr;
}

int TAboutBox::ShowModal() {
    platform::CentreOnScreen(*this);
    return platform::ExecModal(*this);
}

void TAboutBox::OKButtonClick() { done(QDialog::Accepted); }

void TAboutBox::lblsupportClick() {
    // A failure to open the address is not reported.
    OpenUrl(platform::FromCp1252(ProductWebAddress));
}
