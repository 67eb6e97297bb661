// The Qt side: code page conversions, the modal dialog seam, the box handler, help pages.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QMessageBox>
#include <QTimer>
#include <map>

#include "platform/cp1252.h"
#include "platform/datadir.h"
#include "platform/qt/dialogs.h"
#include "platform/qt/help.h"

using namespace platform;

TEST(Cp1252, EveryByteRoundTrips) {
    std::string all;
    for (int i = 0; i < 256; ++i) all += char(i);
    EXPECT_EQ(Utf8ToCp1252(Cp1252ToUtf8(all)), all);
    EXPECT_EQ(ToCp1252(FromCp1252(all)), all);
    EXPECT_EQ(FromCp1252(all).size(), 256);
    EXPECT_EQ(QString::fromUtf8(Cp1252ToUtf8(all)), FromCp1252(all));
}

TEST(Cp1252, KnownCharacters) {
    struct Case { unsigned char byte; char32_t cp; };
    const Case cases[] = {{0x41, U'A'}, {0x80, U'\u20AC'}, {0x81, 0x81}, {0x8A, U'\u0160'},
                          {0x8D, 0x8D}, {0x8F, 0x8F}, {0x90, 0x90}, {0x93, U'\u201C'},
                          {0x9D, 0x9D}, {0x9F, U'\u0178'}, {0xA0, 0xA0}, {0xE9, U'\u00E9'},
                          {0xFF, U'\u00FF'}, {0x00, 0}};
    for (const Case& c : cases) {
        EXPECT_EQ(Cp1252ToUnicode(c.byte), c.cp) << int(c.byte);
        EXPECT_EQ(UnicodeToCp1252(c.cp), c.byte) << int(c.byte);
    }
    EXPECT_EQ(Cp1252ToUtf8("\x80"), "\xE2\x82\xAC");
}

TEST(Cp1252, WhatItCannotHoldBecomesAQuestionMark) {
    EXPECT_EQ(Utf8ToCp1252("\xE2\x82\xAC 5 \xE2\x98\x83 \xF0\x9F\x98\x80!"), "\x80 5 ? ?!");
    EXPECT_EQ(Utf8ToCp1252("a\xC3"), "a?");              // cut short
    EXPECT_EQ(Utf8ToCp1252("\xC3\x28x"), "?(x");         // broken continuation
    EXPECT_EQ(Utf8ToCp1252("\xFF\xFE"), "??");
    EXPECT_EQ(ToCp1252(QString::fromUtf8("\xF0\x9F\x98\x80\xE2\x84\xA2")), "?\x99");
}

TEST(ModalSeam, ScriptAnswersInPlaceOfTheUser) {
    QDialog dialog;
    dialog.setWindowTitle("COM port");
    QString seen;
    DialogScript old = SetDialogScript([&](QDialog& d) {
        seen = d.windowTitle();
        return int(QDialog::Accepted);
    });
    EXPECT_EQ(ExecModal(dialog), int(QDialog::Accepted));
    EXPECT_EQ(seen, "COM port");
    EXPECT_FALSE(dialog.isVisible());
    SetDialogScript(old);
}

TEST(ModalSeam, UnansweredDialogRaisesInATestRun) {
    ASSERT_TRUE(DialogScriptRequired());   // set by the test main
    QDialog dialog;
    dialog.setWindowTitle("Settings");
    try {
        ExecModal(dialog);
        FAIL() << "an unanswered dialog returned";
    } catch (const UnansweredBox& e) {
        EXPECT_NE(std::string(e.what()).find("Settings"), std::string::npos);
    }
}

TEST(QtBoxes, RealBoxShowsCaptionTextAndButtons) {
    BoxHandler old = SetBoxHandler(nullptr);
    InstallQtBoxHandler();
    struct Case { BoxButtons buttons; QMessageBox::StandardButton press; int result; };
    const Case cases[] = {{BoxButtons::Ok, QMessageBox::Ok, IDOK},
                          {BoxButtons::YesNo, QMessageBox::Yes, IDYES},
                          {BoxButtons::YesNo, QMessageBox::No, IDNO}};
    for (const Case& c : cases) {
        QString title, text;
        QTimer::singleShot(0, [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (!box) return;
            title = box->windowTitle();
            text = box->text();
            box->button(c.press)->click();
        });
        EXPECT_EQ(MessageBox("Caf\xe9 \x80 5", "Delete?", c.buttons), c.result);
        EXPECT_EQ(title, "Delete?");
        EXPECT_EQ(text, QString::fromUtf8("Caf\xC3\xA9 \xE2\x82\xAC 5"));
    }
    SetBoxHandler(old);
}

TEST(QtBoxes, ABoxBlocksTheProgramsWindowsButNotTheTrayIcons) {
    BoxHandler old = SetBoxHandler(nullptr);
    InstallQtBoxHandler();
    QWidget owner;                        // the main window, hidden and never shown
    QWidget child(&owner, Qt::Window);    // another window of the program
    QWidget tray;                         // the tray icon's window has no parent
    std::map<QWidget*, int> blocked;
    struct Watch : QObject {
        std::map<QWidget*, int>& seen;
        explicit Watch(std::map<QWidget*, int>& s) : seen(s) {}
        bool eventFilter(QObject* o, QEvent* e) override {
            if (e->type() == QEvent::WindowBlocked) ++seen[static_cast<QWidget*>(o)];
            return false;
        }
    } watch(blocked);
    for (QWidget* w : {&owner, &child, &tray}) w->installEventFilter(&watch);
    child.show();
    tray.show();
    tray.activateWindow();
    SetModalOwner(&owner);
    QTimer::singleShot(0, [] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget()))
            box->button(QMessageBox::Ok)->click();
    });
    EXPECT_EQ(MessageBox("The Corvane modem unit was not found.", "Error"), int(IDOK));
    EXPECT_EQ(blocked[&owner], 1);
    EXPECT_EQ(blocked[&child], 1);
    EXPECT_EQ(blocked[&tray], 0);
    SetModalOwner(nullptr);
    SetBoxHandler(old);
}

TEST(Help, PagesAreFoundBesideTheProgram) {
    const QString dir = QString::fromStdString(ProgramDir()) + "/help";
    const bool made = QDir().mkpath(dir);
    ASSERT_TRUE(made);
    for (const char* name : {"help-130.html", "index.html"}) {
        QFile f(dir + "/" + name);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("<html></html>");
    }
    EXPECT_EQ(HelpPagePath(130), dir + "/help-130.html");
    if (!QFile::exists(dir + "/help-0.html")) {
        EXPECT_EQ(HelpPagePath(0), dir + "/index.html");
    }
    std::vector<std::pair<QString, int>> opened;
    SetHelpOpener([&](const QString& path, int context) {
        opened.emplace_back(path, context);
        return true;
    });
    EXPECT_TRUE(ShowHelp(130));
    EXPECT_FALSE(ShowHelp(987654));   // no such page: the opener is not asked
    ASSERT_EQ(opened.size(), 1u);
    EXPECT_EQ(opened[0].first, dir + "/help-130.html");
    EXPECT_EQ(opened[0].second, 130);
    SetHelpOpener(nullptr);
    EXPECT_THROW(ShowHelp(130), UnansweredBox);   // no browser in a test run
    QFile::remove(dir + "/help-130.html");
    QFile::remove(dir + "/index.html");
    QDir().rmdir(dir);
}
