#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QFile>
#include <QFileDialog>
#include <QLineEdit>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPrintDialog>
#include <QPrinter>
#include <QTextEdit>
#include <QToolBar>
#include <QTreeWidget>

#include "client/about.h"
#include "client/compose.h"
#include "client/config.h"
#include "client/msgframe.h"
#include "client/passwd.h"
#include "client/pbframe.h"
#include "tests/client/mainwin_support.h"

namespace {

using maintest::MainTest;

// The main window with the windows its actions open.
class ActionTest : public MainTest {
protected:
    void SetUp() override {
        MainTest::SetUp();
        Make();
        new TFrmCompose(form.get());
        new TFrmPass(form.get());
        new TFormOptions(form.get());
    }
    void TearDown() override {
        delete FrmCompose;
        delete FrmPass;
        delete FormOptions;
        MainTest::TearDown();
    }
    QWidget* VisiblePane() const {
        QWidget* shown = nullptr;
        for (QWidget* pane : {static_cast<QWidget*>(form->MSGFrame11),
                              static_cast<QWidget*>(form->MSGFrameSent),
                              static_cast<QWidget*>(form->MSGFrameUnsent),
                              static_cast<QWidget*>(form->PBFrame11),
                              static_cast<QWidget*>(form->DBGFrame11)}) {
            if (!pane->isHidden()) {
                EXPECT_EQ(shown, nullptr) << "two panes shown";
                shown = pane;
            }
        }
        return shown;
    }
};

TEST_F(ActionTest, EachViewShowsItsPaneCaptionAndMessageActions) {
    TMainForm& w = *form;
    struct Step {
        int view;
        const char* inbox;   // preview texts before the switch
        const char* sent;
        const char* drafts;
        QWidget* pane;
        const char* caption;
        bool printShown, printOn, replyShown, replyOn, resendShown, resendOn;   // hidden: off
        int current;
    };
    const Step steps[] = {
        {1, "", "x", "", w.MSGFrame11, "Corvane - Inbox", true, false, true, false, false, false, 1},
        {2, "", "x", "", w.MSGFrameSent, "Corvane - Sent", true, true, false, false, true, true, 2},
        {5, "", "x", "", w.PBFrame11, "Corvane - Phonebook", false, false, false, false, false,
         false, 2},
        {3, "", "x", "", w.MSGFrameUnsent, "Corvane - Drafts", true, false, false, false, true,
         false, 3},
        {6, "x", "x", "x", w.DBGFrame11, "Corvane - Debug", false, false, false, false, false,
         false, 3},
        {4, "x", "x", "x", w.DBGFrame11, "Corvane - Debug", false, false, false, false, false,
         false, 3},   // no such view: nothing changes
        {1, "x", "", "", w.MSGFrame11, "Corvane - Inbox", true, true, true, true, false, false, 1},
        {3, "x", "", "y", w.MSGFrameUnsent, "Corvane - Drafts", true, true, false, false, true,
         true, 3},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(s.view);
        w.MSGFrame11->RichEdit1->setPlainText(s.inbox);
        w.MSGFrameSent->RichEdit1->setPlainText(s.sent);
        w.MSGFrameUnsent->RichEdit1->setPlainText(s.drafts);
        w.ShowView(s.view);
        EXPECT_EQ(VisiblePane(), s.pane);
        EXPECT_EQ(w.windowTitle(), s.caption);
        EXPECT_EQ(w.PrintDlg1->isVisible(), s.printShown);
        EXPECT_EQ(w.PrintDlg1->isEnabled(), s.printOn);
        EXPECT_EQ(w.ReplyAction->isVisible(), s.replyShown);
        EXPECT_EQ(w.ReplyAction->isEnabled(), s.replyOn);
        EXPECT_EQ(w.ActionResend->isVisible(), s.resendShown);
        EXPECT_EQ(w.ActionResend->isEnabled(), s.resendOn);
        EXPECT_EQ(CurrentView, s.current);
    }
}

TEST_F(ActionTest, TreeNodesSelectTheirViewByExactName) {
    TMainForm& w = *form;
    auto* debug = new QTreeWidgetItem(w.Dirs, QStringList{"Debug"});
    auto* odd = new QTreeWidgetItem(w.Dirs, QStringList{"inbox"});
    auto* blank = new QTreeWidgetItem(w.Dirs, QStringList{""});
    const struct {
        QTreeWidgetItem* node;
        const char* caption;
    } steps[] = {
        {w.Dirs->topLevelItem(1), "Corvane - Sent"}, {w.Dirs->topLevelItem(3), "Corvane - Phonebook"},
        {odd, "Corvane - Phonebook"},  {blank, "Corvane - Phonebook"},
        {nullptr, "Corvane - Phonebook"}, {debug, "Corvane - Debug"},
        {w.Dirs->topLevelItem(2), "Corvane - Drafts"}, {w.Dirs->topLevelItem(0), "Corvane - Inbox"},
    };
    for (const auto& s : steps) {
        w.DirsChange(s.node);
        EXPECT_EQ(w.windowTitle(), s.caption);
    }
}

TEST_F(ActionTest, HintsSplitIntoToolTipAndStatusText) {
    TMainForm& w = *form;
    const struct {
        QAction* action;
        const char* tip;
        const char* status;
    } actions[] = {
        {w.ActionResend, "Edit and Resend",
         "Open this message in the compose window ready to be resent"},
        {w.ActionOptions, "Change your settings", "Change your settings"},   // no bar
        {w.ImportPB, "Import Phonebook", ""},   // no hint: the caption
    };
    for (const auto& a : actions) {
        EXPECT_EQ(a.action->toolTip(), a.tip);
        EXPECT_EQ(a.action->statusTip(), a.status);
    }
    EXPECT_EQ(w.ActionToolBar1->actions(),
              (QList<QAction*>{w.NewSMS, w.ReplyAction, w.ActionResend, w.PrintDlg1, w.EditCut1,
                               w.EditCopy1, w.EditPaste1}));

    // A right click on either bar offers nothing that would hide the tool bar.
    w.show();
    for (QWidget* bar :
         {static_cast<QWidget*>(w.ActionToolBar1), static_cast<QWidget*>(w.menuBar())}) {
        const QPoint at(bar->width() - 2, 2);
        QContextMenuEvent click(QContextMenuEvent::Mouse, at, bar->mapToGlobal(at));
        QApplication::sendEvent(bar, &click);
        EXPECT_EQ(QApplication::activePopupWidget(), nullptr) << bar->objectName().toStdString();
        if (QWidget* popup = QApplication::activePopupWidget()) popup->close();
    }
}

// The compose window as the modal seam sees it when an action opens it.
struct ComposeSeen {
    int opened = 0;
    QString to;
};

TEST_F(ActionTest, NewSmsTakesThePhonebookEntryOnlyInThePhonebookView) {
    TMainForm& w = *form;
    env.WriteData("pb.csv", "\"Alice\",123\r\n\"Bob\",456");
    w.PBFrame11->LoadPhonebook(env.data() + "/pb.csv", true);
    w.PBFrame11->pbklist->setCurrentItem(w.PBFrame11->pbklist->topLevelItem(1));
    ASSERT_EQ(w.PBFrame11->SelectedIndex(), 1);
    ComposeSeen seen;
    platform::SetDialogScript([&](QDialog& d) {
        EXPECT_EQ(&d, FrmCompose);
        ++seen.opened;
        seen.to = FrmCompose->EditTo->text();
        return int(QDialog::Rejected);
    });
    const struct {
        int view;
        const char* to;
    } cases[] = {{5, "Bob"}, {1, ""}, {6, ""}};
    for (const auto& c : cases) {
        FrmCompose->EditTo->setText("earlier");
        w.ShowView(c.view);
        w.NewSMS->trigger();
        EXPECT_EQ(seen.to, c.to) << c.view;
    }
    EXPECT_EQ(seen.opened, 3);
}

TEST_F(ActionTest, TheSignatureGoesOnlyIntoAnEmptyMessage) {
    TMainForm& w = *form;
    Settings.Signature = "- Sent using Corvane";
    QString memo;
    platform::SetDialogScript([&](QDialog&) {
        memo = FrmCompose->MemoSMS->toPlainText();
        return int(QDialog::Rejected);
    });
    const struct {
        QAction* action;
        const char* before;
        const char* after;
    } cases[] = {
        {w.NewSMS, "", "- Sent using Corvane"},
        {w.NewSMS, "half a thought", "half a thought"},
        {w.ReplyAction, "", "- Sent using Corvane"},
        {w.ReplyAction, " ", " "},
    };
    w.ReplyAction->setEnabled(true);
    for (const auto& c : cases) {
        FrmCompose->MemoSMS->setPlainText(c.before);
        c.action->trigger();
        EXPECT_EQ(memo, c.after);
    }
}

TEST_F(ActionTest, ReplyAddressesTheLastInboxSelectionAndResendFollowsTheView) {
    TMainForm& w = *form;
    w.MSGFrame11->SelectedNumber = "\"+447700900123\"";
    w.MSGFrameSent->SelectedNumber = "0700";
    w.MSGFrameSent->SelectedText = "sent text";
    w.MSGFrameUnsent->SelectedNumber = "Office";
    w.MSGFrameUnsent->SelectedText = "draft text";
    std::vector<std::pair<QString, QString>> opened;
    platform::SetDialogScript([&](QDialog&) {
        opened.emplace_back(FrmCompose->EditTo->text(), FrmCompose->MemoSMS->toPlainText());
        return int(QDialog::Rejected);
    });
    w.ShowView(2);
    w.ReplyActionExecute();
    w.ActionResendExecute();
    w.ShowView(3);
    w.ActionResendExecute();
    w.ShowView(1);
    w.ActionResendExecute();   // nothing to resend from the Inbox
    ASSERT_EQ(opened.size(), 3u);
    EXPECT_EQ(opened[0].first, "+447700900123");   // the reply goes to the bare number
    EXPECT_EQ(opened[1], std::make_pair(QString("0700"), QString("sent text")));
    EXPECT_EQ(opened[2], std::make_pair(QString("Office"), QString("draft text")));
}

// Pages of a PDF that Qt wrote.
int PdfPages(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return -1;
    const QByteArray pdf = file.readAll();
    return int(pdf.count("/Type /Page\n") + pdf.count("/Type /Page ") +
               pdf.count("/Type /Page/") + pdf.count("/Type /Page>"));
}

TEST_F(ActionTest, PrintingTakesThePreviewOfTheCurrentMessageView) {
    TMainForm& w = *form;
    w.MSGFrame11->RichEdit1->setPlainText("short");
    w.MSGFrameSent->RichEdit1->setPlainText(QString("line\n").repeated(200));   // several pages
    const struct {
        int view;
        bool several;
    } cases[] = {{1, false}, {2, true}, {5, true}, {3, false}};   // 5 keeps CurrentView 2
    int n = 0;
    for (const auto& c : cases) {
        w.ShowView(c.view);
        const QString pdf = QString::fromStdString(env.root()) + QString("/out%1.pdf").arg(n++);
        QPrinter printer;
        printer.setOutputFormat(QPrinter::PdfFormat);
        printer.setOutputFileName(pdf);
        w.PrintDlg1Accept(printer);
        EXPECT_EQ(printer.docName(), "Corvane Message");
        EXPECT_EQ(PdfPages(pdf) > 1, c.several) << c.view << ": " << PdfPages(pdf);
    }

    // Through the print dialog: cancelled prints nothing, confirmed prints.
    for (bool accept : {false, true}) {
        const QString pdf = QString::fromStdString(env.root()) + (accept ? "/yes.pdf" : "/no.pdf");
        platform::SetDialogScript([&](QDialog& d) {
            auto& dialog = dynamic_cast<QPrintDialog&>(d);
            dialog.printer()->setOutputFormat(QPrinter::PdfFormat);
            dialog.printer()->setOutputFileName(pdf);
            return int(accept ? QDialog::Accepted : QDialog::Rejected);
        });
        w.PrintDlg1Execute();
        EXPECT_EQ(QFile::exists(pdf), accept);
    }
}

TEST_F(ActionTest, ImportAppendsTheChosenFileAndAlwaysRewritesThePhonebook) {
    TMainForm& w = *form;
    env.WriteData("start.csv", "\"Alice\",123");
    w.PBFrame11->LoadPhonebook(env.data() + "/start.csv", true);
    const std::string import = env.root() + "/more.txt";
    {
        QFile f(QString::fromStdString(import));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("\"Bob\",456\r\n\"Carol\",789");
    }
    for (bool accept : {false, true}) {
        QStringList filters;
        QString title;
        platform::SetDialogScript([&](QDialog& d) {
            auto& dialog = dynamic_cast<QFileDialog&>(d);
            title = dialog.windowTitle();
            filters = dialog.nameFilters();
            EXPECT_EQ(dialog.fileMode(), QFileDialog::ExistingFile);
            dialog.selectFile(QString::fromStdString(import));
            return int(accept ? QDialog::Accepted : QDialog::Rejected);
        });
        w.ImportPB->trigger();
        EXPECT_EQ(title, "Import Phonebook");
        EXPECT_EQ(filters,
                  (QStringList{"CSV Files (*.csv)", "Text Files (*.txt)", "All Files (*)"}));
        EXPECT_TRUE(env.DataExists("phonebook.csv"));
        const std::string saved = env.ReadData("phonebook.csv");
        EXPECT_NE(saved.find("Alice"), std::string::npos);
        EXPECT_EQ(saved.find("Carol") != std::string::npos, accept);
    }
    EXPECT_EQ(w.PBFrame11->Entries().size(), 3u);
}

TEST_F(ActionTest, TheSettingsOpenOnlyAfterTheRightPassword) {
    TMainForm& w = *form;
    const struct {
        bool usePass;
        const char* password;
        const char* typed;
        bool opens;
    } cases[] = {
        {false, "Secret", "", true},    {true, "Secret", "Secret", true},
        {true, "Secret", "secret", false}, {true, "Secret", "", false},
        {true, "", "", true},           {true, "", " ", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.password) + "/" + c.typed);
        Settings.UsePass = c.usePass;
        Settings.Password = c.password;
        FrmPass->EditPass->setText("left from before");
        int prompts = 0, settings = 0;
        platform::SetDialogScript([&](QDialog& d) {
            if (&d == FrmPass) {
                ++prompts;
                EXPECT_EQ(FrmPass->EditPass->text(), "");
                FrmPass->EditPass->setText(c.typed);
                return int(QDialog::Accepted);
            }
            EXPECT_EQ(&d, FormOptions);
            ++settings;
            return int(QDialog::Rejected);
        });
        testing_support::BoxScript boxes;
        if (!c.opens) boxes.Expect("Your Password was incorrect.");
        w.ActionOptions->trigger();
        EXPECT_EQ(prompts, c.usePass ? 1 : 0);
        EXPECT_EQ(settings, c.opens ? 1 : 0);
        EXPECT_EQ(boxes.pending(), 0);
        for (const auto& box : boxes.shown()) EXPECT_EQ(box.caption, "Error");
    }
}

TEST_F(ActionTest, AboutAndHelpOpenTheirWindowsAndPages) {
    TMainForm& w = *form;
    std::vector<int> pages;
    platform::SetHelpOpener([&](const QString& path, int context) {
        EXPECT_FALSE(path.isEmpty());
        pages.push_back(context);
        return true;
    });
    w.HelpContents1->trigger();
    w.HelpContext->trigger();   // nothing has the focus: the main window's page
    EXPECT_EQ(pages, (std::vector<int>{0, 100}));
    for (int context : {100, 130, 140, 150, 160, 170})
        EXPECT_FALSE(platform::HelpPagePath(context).isEmpty()) << context;

    const struct {
        QWidget* widget;
        int context;
    } focus[] = {
        {w.Dirs, 100}, {w.MSGFrame11->msglist, 160}, {w.MSGFrameSent->RichEdit1, 160},
        {w.MSGFrameUnsent, 160}, {w.PBFrame11->pbklist, 130}, {w.DBGFrame11->RichEdit1, 130},
        {&w, 100}, {nullptr, 100},
    };
    for (const auto& f : focus) EXPECT_EQ(w.HelpContextOf(f.widget), f.context);

    w.HelpAbout->trigger();   // no about box yet: nothing happens
    new TAboutBox(&w);
    int shown = 0;
    platform::SetDialogScript([&](QDialog& d) {
        EXPECT_EQ(&d, AboutBox);
        ++shown;
        return int(QDialog::Accepted);
    });
    w.HelpAbout->trigger();
    EXPECT_EQ(shown, 1);
    delete AboutBox;
}

} // namespace

namespace {

TEST_F(ActionTest, EditActionsFollowTheFocusedTextField) {
    TMainForm& w = *form;
    Settings.DebugMode = true;
    w.ShowView(6);
    w.show();
    w.activateWindow();
    QTextEdit* trace = w.DBGFrame11->RichEdit1;
    trace->setFocus();
    ASSERT_TRUE(maintest::WaitUntil([&] { return QApplication::focusWidget() == trace; }, 2000))
        << "no focus in this session";

    EXPECT_FALSE(w.EditCopy1->isEnabled());
    EXPECT_FALSE(w.EditSelectAll1->isEnabled());   // empty
    w.AddTrace("OK\r\n", true);
    EXPECT_TRUE(w.EditSelectAll1->isEnabled());
    w.EditSelectAll1->trigger();
    EXPECT_TRUE(trace->textCursor().hasSelection());
    EXPECT_TRUE(w.EditCopy1->isEnabled());
    EXPECT_TRUE(w.EditCut1->isEnabled());
    w.EditCopy1->trigger();
    EXPECT_EQ(QApplication::clipboard()->text(), "OK\n");
    EXPECT_TRUE(w.EditPaste1->isEnabled());

    // The preview is read-only: copy yes, cut and paste no.
    w.ShowView(1);
    QTextEdit* preview = w.MSGFrame11->RichEdit1;
    preview->setPlainText("From: 123");
    preview->setFocus();
    ASSERT_TRUE(maintest::WaitUntil([&] { return QApplication::focusWidget() == preview; }, 2000));
    preview->selectAll();
    EXPECT_TRUE(w.EditCopy1->isEnabled());
    EXPECT_FALSE(w.EditCut1->isEnabled());
    EXPECT_FALSE(w.EditPaste1->isEnabled());

    // A field that is no text field: all four off.
    w.Dirs->setFocus();
    ASSERT_TRUE(maintest::WaitUntil([&] { return QApplication::focusWidget() == w.Dirs; }, 2000));
    for (QAction* a : {w.EditCut1, w.EditCopy1, w.EditPaste1, w.EditSelectAll1})
        EXPECT_FALSE(a->isEnabled());
}

} // namespace
