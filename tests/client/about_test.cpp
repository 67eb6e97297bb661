// The about box: version line, caption, the support link and the picture; the fixed
// sizes and places of the dialogs.
#include <QApplication>
#include <QFrame>
#include <QImage>
#include <QLabel>
#include <QMouseEvent>
#include <QScreen>
#include <functional>

#include "client/about.h"
#include "client/compose.h"
#include "client/config.h"
#include "engine/globals.h"
#include "tests/client/dlg_support.h"

namespace {

class AboutTest : public dlgtest::DialogTest {};

TEST_F(AboutTest, VersionLineIsBuiltOnceFromFileAndModemVersions) {
    for (const auto& [modem, line] :
         {std::pair{"0000", "Version 1.0.1.12.0000"}, {"2.31", "Version 1.0.1.12.2.31"},
          {"<img src=\"/etc/x.png\">", "Version 1.0.1.12.<img src=\"/etc/x.png\">"},
          {"6B71 V4.02.0003 Build 2004-05-06 (GSM900/1800)",
           "Version 1.0.1.12.6B71 V4.02.0003 Build 2004-05-06 (GSM900/1800)"}}) {
        Settings.ModemVersion = modem;
        TAboutBox box;
        EXPECT_EQ(box.Version->text(), line);
        // Shown whole: inside the panel, above the link, every line of it.
        EXPECT_LE(box.Version->geometry().right(), box.Panel1->width() - 8) << modem;
        EXPECT_LE(box.Version->geometry().bottom(), box.lblsupport->y()) << modem;
        EXPECT_GE(box.Version->height(), box.Version->heightForWidth(box.Version->width()));
        EXPECT_EQ(box.Version->textFormat(), Qt::PlainText);   // the unit's markup is not drawn
        EXPECT_EQ(box.windowTitle(), "Corvane");
        Settings.ModemVersion = "9.99";   // a unit found later changes nothing
        EXPECT_EQ(box.Version->text(), line);
    }
}

TEST_F(AboutTest, SupportLinkShowsAndOpensTheWebAddress) {
    std::vector<QString> opened;
    UrlOpener old = SetUrlOpener([&](const QString& a) { opened.push_back(a); return true; });
    TAboutBox box;
    EXPECT_EQ(box.lblsupport->text().toStdString(), ProductWebAddress);
    box.show();
    const QPointF at(2, 2);
    QMouseEvent press(QEvent::MouseButtonPress, at, box.lblsupport->mapToGlobal(at),
                      Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
    QMouseEvent release(QEvent::MouseButtonRelease, at, box.lblsupport->mapToGlobal(at),
                        Qt::LeftButton, Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(box.lblsupport, &press);
    QApplication::sendEvent(box.lblsupport, &release);
    SetUrlOpener(old);
    ASSERT_EQ(opened.size(), 1u);
    EXPECT_EQ(opened[0].toStdString(), ProductWebAddress);
}

TEST_F(AboutTest, PictureIsDrawnAtItsSize) {
    const QImage image = ProductPicture().toImage();
    EXPECT_EQ(image.size(), QSize(235, 189));
    // Not a blank sheet: the unit's dark body lies in the lower half.
    EXPECT_LT(qGray(image.pixel(118, 150)), 100);
    EXPECT_GT(qGray(image.pixel(10, 10)), 200);
}

TEST_F(AboutTest, FixedDialogsKeepTheirSizeAndBoxesOpenCentred) {
    TFrmCompose compose;
    TFrmRecipient chooser;
    TComposeCloseDlg closeDlg;
    TFormOptions options;
    TAboutBox about;
    struct Row { QDialog* dialog; QSize size; std::function<int()> show; };
    const Row rows[] = {
        {&compose, {466, 206}, {}},
        {&chooser, {345, 255}, {}},
        {&closeDlg, {309, 101}, [&] { return closeDlg.ShowModal(); }},
        {&options, {291, 473}, {}},
        {&about, {263, 243}, [&] { return about.ShowModal(); }},
    };
    platform::SetDialogScript([](QDialog& d) {
        const QPoint centre = d.screen()->availableGeometry().center();
        EXPECT_LE((d.frameGeometry().center() - centre).manhattanLength(), 2)
            << d.windowTitle().toStdString();
        return 1;
    });
    for (const Row& r : rows) {
        EXPECT_EQ(r.dialog->minimumSize(), r.size) << r.dialog->windowTitle().toStdString();
        EXPECT_EQ(r.dialog->maximumSize(), r.size) << r.dialog->windowTitle().toStdString();
        if (r.show) r.show();
    }
}

} // namespace
