// The main window's views and the handlers of its menu bar and tool bar.
#include <QApplication>
#include <QClipboard>
#include <QFile>
#include <QFileDialog>
#include <QLineEdit>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QPrintDialog>
#include <QPrinter>
#include <QTextEdit>
#include <QTreeWidget>

#include "client/about.h"
#include "client/compose.h"
#include "client/config.h"
#include "client/dbgframe.h"
#include "client/mainunit.h"
#include "client/msgframe.h"
#include "client/passwd.h"
#include "client/pbframe.h"
#include "engine/globals.h"
#include "platform/boxes.h"
#include "platform/qt/dialogs.h"
#include "platform/qt/help.h"
#include "platform/qt/pasteguard.h"

namespace {

bool PreviewHasText(const TMSGFrame1* frame) {
    return !frame->RichEdit1->document()->isEmpty();
}

// Steps shared by New SMS and Reply once the recipient is set: the signature goes only
// into an empty memo, then the compose window is shown.
void OpenCompose() {
    if (FrmCompose->MemoSMS->toPlainText().isEmpty()) {
        FrmCompose->SetMemoText(platform::FromCp1252(Settings.Signature));
        FrmCompose->FocusMemoAtStart();
    }
    FrmCompose->ShowModal();
}

} // namespace

void TMainForm::ShowView(int view) {
    QWidget* pane = nullptr;
    const char* suffix = nullptr;
    switch (view) {
    case 1: pane = MSGFrame11; suffix = " - Inbox"; break;
    case 2: pane = MSGFrameSent; suffix = " - Sent"; break;
    case 3: pane = MSGFrameUnsent; suffix = " - Drafts"; break;
    case 5: pane = PBFrame11; suffix = " - Phonebook"; break;
    case 6: pane = DBGFrame11; suffix = " - Debug"; break;
    default: return;
    }
    for (QWidget* each : {static_cast<QWidget*>(MSGFrame11), static_cast<QWidget*>(MSGFrameSent),
                          static_cast<QWidget*>(MSGFrameUnsent), static_cast<QWidget*>(PBFrame11),
                          static_cast<QWidget*>(DBGFrame11)})
        each->setVisible(each == pane);
    setWindowTitle(platform::FromCp1252(CaptionBase) + suffix);

    switch (view) {
    case 1:
        CurrentView = 1;
        ActionResend->setVisible(false);
        PrintDlg1->setEnabled(PreviewHasText(MSGFrame11));
        ReplyAction->setEnabled(PreviewHasText(MSGFrame11));
        PrintDlg1->setVisible(true);
        ReplyAction->setVisible(true);
        break;
    case 2:
    case 3: {
        const TMSGFrame1* list = view == 2 ? MSGFrameSent : MSGFrameUnsent;
        if (view == 2) CurrentView = 2;
        PrintDlg1->setVisible(true);
        PrintDlg1->setEnabled(PreviewHasText(list));
        ActionResend->setEnabled(PreviewHasText(list));
        ActionResend->setVisible(true);
        ReplyAction->setEnabled(false);
        ReplyAction->setVisible(false);
        if (view == 3) CurrentView = 3;
        break;
    }
    default:
        for (QAction* action : {PrintDlg1, ActionResend, ReplyAction}) {
            action->setEnabled(false);
            action->setVisible(false);
        }
        break;
    }
}

void TMainForm::DirsChange(QTreeWidgetItem* node) {
    if (!node) return;
    static const std::pair<const char*, int> views[] = {
        {"Inbox", 1}, {"Sent", 2}, {"Drafts", 3}, {"Phonebook", 5}, {"Debug", 6}};
    const QString text = node->text(0);
    for (const auto& [name, view] : views) {
        if (text == QLatin1String(name)) {
            ShowView(view);
            return;
        }
    }
}

// The windows these open are created after the main window's start-up, whose box may
// already offer the window (tray "Restore") before they exist: nothing opens then.

void TMainForm::NewSMSExecute() {
    if (!FrmCompose) return;
    FrmCompose->SetRecipient(QString());
    if (!PBFrame11->isHidden()) {
        const int index = PBFrame11->SelectedIndex();
        const auto entries = PBFrame11->Entries();
        if (index >= 0 && index < int(entries.size()))
            FrmCompose->SetRecipient(platform::FromCp1252(entries[index].first));
    }
    OpenCompose();
}

void TMainForm::ReplyActionExecute() {
    if (!FrmCompose) return;
    FrmCompose->SetRecipient(platform::FromCp1252(UnquoteNumber(MSGFrame11->SelectedNumber)));
    OpenCompose();
}

void TMainForm::ActionResendExecute() {
    if (CurrentView == 2)
        MSGFrameSent->mnuResendClick();
    else if (CurrentView == 3)
        MSGFrameUnsent->mnuResendClick();
}

void TMainForm::PrintDlg1Execute() {
    QPrinter printer(QPrinter::HighResolution);
    QPrintDialog dialog(&printer, this);
    if (platform::ExecModal(dialog) == QDialog::Accepted) PrintDlg1Accept(printer);
}

void TMainForm::PrintDlg1Accept(QPrinter& printer) {
    TMSGFrame1* list = CurrentView == 2 ? MSGFrameSent
                       : CurrentView == 3 ? MSGFrameUnsent
                                          : MSGFrame11;
    printer.setDocName("Corvane Message");
    list->PrintPreview(printer);
}

void TMainForm::ImportPBExecute() {
    QFileDialog dialog(this, "Import Phonebook");
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setNameFilters({"CSV Files (*.csv)", "Text Files (*.txt)", "All Files (*)"});
    dialog.setSizeGripEnabled(true);
    if (platform::ExecModal(dialog) == QDialog::Accepted && !dialog.selectedFiles().isEmpty()) {
        const QByteArray path = QFile::encodeName(dialog.selectedFiles().first());
        PBFrame11->LoadPhonebook(path.toStdString(), false);
    }
    PBFrame11->SavePhonebook("phonebook.csv");
}

void TMainForm::ActionOptionsExecute() {
    if (!FrmPass || !FormOptions) return;
    if (Settings.UsePass) {
        FrmPass->EditPass->clear();
        FrmPass->ShowModal();
        if (platform::ToCp1252(FrmPass->EditPass->text()) != Settings.Password) {
            platform::MessageBox("Your Password was incorrect.", "Error");
            return;
        }
    }
    FormOptions->ShowModal();
}

void TMainForm::HelpAboutExecute() {
    if (AboutBox) AboutBox->ShowModal();
}

void TMainForm::HelpContents1Execute() { platform::ShowHelp(0); }

int TMainForm::HelpContextOf(const QWidget* widget) const {
    for (const QWidget* w = widget; w; w = w->parentWidget()) {
        const QVariant context = w->property("helpContext");
        if (context.isValid()) return context.toInt();
        if (w == this) break;
    }
    return 100;
}

int TMainForm::FocusHelpContext() const { return HelpContextOf(QApplication::focusWidget()); }

// The edit actions work on the text field that has the focus.
void TMainForm::WatchEditTarget(QWidget* now) {
    QWidget* target = qobject_cast<QTextEdit*>(now) || qobject_cast<QPlainTextEdit*>(now) ||
                              qobject_cast<QLineEdit*>(now)
                          ? now
                          : nullptr;
    if (target == editTarget_) return;
    if (editTarget_) disconnect(editTarget_, nullptr, this, nullptr);
    editTarget_ = target;
    if (auto* text = qobject_cast<QTextEdit*>(target)) {
        connect(text, &QTextEdit::selectionChanged, this, &TMainForm::UpdateEditActions);
        connect(text, &QTextEdit::textChanged, this, &TMainForm::UpdateEditActions);
    } else if (auto* plain = qobject_cast<QPlainTextEdit*>(target)) {
        connect(plain, &QPlainTextEdit::selectionChanged, this, &TMainForm::UpdateEditActions);
        connect(plain, &QPlainTextEdit::textChanged, this, &TMainForm::UpdateEditActions);
    } else if (auto* line = qobject_cast<QLineEdit*>(target)) {
        connect(line, &QLineEdit::selectionChanged, this, &TMainForm::UpdateEditActions);
        connect(line, &QLineEdit::textChanged, this, &TMainForm::UpdateEditActions);
    }
    UpdateEditActions();
}

void TMainForm::UpdateEditActions() {
    bool selection = false, editable = false, filled = false;
    if (auto* text = qobject_cast<QTextEdit*>(editTarget_)) {
        selection = text->textCursor().hasSelection();
        editable = !text->isReadOnly();
        filled = !text->document()->isEmpty();
    } else if (auto* plain = qobject_cast<QPlainTextEdit*>(editTarget_)) {
        selection = plain->textCursor().hasSelection();
        editable = !plain->isReadOnly();
        filled = !plain->document()->isEmpty();
    } else if (auto* line = qobject_cast<QLineEdit*>(editTarget_)) {
        selection = line->hasSelectedText();
        editable = !line->isReadOnly();
        filled = !line->text().isEmpty();
    }
    EditCut1->setEnabled(selection && editable);
    EditCopy1->setEnabled(selection);
    EditPaste1->setEnabled(editable &&
                           platform::HasPastableText(QApplication::clipboard()->mimeData()));
    EditSelectAll1->setEnabled(filled);
}
