// The message-list pane: a list of messages above a preview, bound to one message file.
#pragma once
#include <QWidget>
#include <string>

#include "client/msgfile.h"   // EscapeText, UnescapeText
#include "engine/mainwindow.h"

class QAction;
class QItemSelection;
class QMenu;
class QPrinter;
class QSplitter;
class QTextEdit;
class QTreeWidget;
class QTreeWidgetItem;

class TMSGFrame1 : public QWidget {
    Q_OBJECT
public:
    explicit TMSGFrame1(QWidget* parent = nullptr);

    // Texts are Windows-1252 bytes, as the files and the unit have them.
    // AddMessage and SaveToFile return whether the list's file holds the list afterwards
    // (always true for a list without a file).
    bool AddMessage(const std::string& number, const std::string& text,
                    const std::string& date, bool old);
    // A received message: added as AddMessage does. One that the unit reports as read before
    // (readBefore) is not added when a message with the same number, date and (cleaned) text
    // is listed already; then only a save that failed before is tried again.
    IMainWindow::InboxFiling AddReceived(const std::string& number, const std::string& text,
                                         const std::string& date, bool old, bool readBefore);
    void LoadFromFile(const std::string& name, bool clear);
    bool SaveToFile(const std::string& name);
    static std::string CleanMessage(const std::string& text);
    // Column 0 captions, 1 texts, 2 dates; case-insensitive, locale-aware; negated when
    // SortAscending is false.
    static int CompareItems(const QTreeWidgetItem* item1, const QTreeWidgetItem* item2,
                            int column);

    void SetFirstColumnCaption(const QString& caption);
    int Count() const;
    // Caption, text, date and status of row i (display order).
    std::string ItemNumber(int i) const;
    std::string ItemText(int i) const;
    std::string ItemDate(int i) const;
    std::string ItemStatus(int i) const;

    // Handlers.
    void msglistSelectItem(QTreeWidgetItem* item, bool selected);
    void msglistColumnClick(int column);
    void MSGPopupPopup();
    void mnuResendClick();
    void mnuReplyClick();
    void mnuPrintClick();
    void mnuDeleteClick();
    void PrintPreview(QPrinter& printer);   // prints RichEdit1 as "Corvane Message"

    std::string FileName;
    std::string SelectedNumber;
    std::string SelectedText;

    QTreeWidget* msglist = nullptr;
    QSplitter* Splitter2 = nullptr;
    QTextEdit* RichEdit1 = nullptr;
    QMenu* MSGPopup = nullptr;
    QAction* mnuResend = nullptr;
    QAction* mnuReply = nullptr;
    QAction* mnuPrint = nullptr;
    QAction* mnuDelete = nullptr;

private:
    void SelectionChanged(const QItemSelection& selected, const QItemSelection& deselected);
    void ShowMessage(QTreeWidgetItem* item);
    bool MarkOld(QTreeWidgetItem* item);
    void SetMainActions(bool print, bool reply, bool resend);
    void RemoveItems(const QList<QTreeWidgetItem*>& items);

    bool bulk_ = false;          // selection events are ignored while the list is rebuilt
    std::string pendingRescue_;  // a file that failed to load and has no copy yet
    bool unsaved_ = false;       // the last save of the list's file failed
};

// The shared sort state of all message lists.
extern int SortColumn;
extern bool SortAscending;
