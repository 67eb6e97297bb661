// The message-list pane: a list of messages above a preview, bound to one message file.
#pragma once
#include <QWidget>
#include <string>

class QAction;
class QMenu;
class QPrinter;
class QTextEdit;
class QTreeWidget;
class QTreeWidgetItem;

class TMSGFrame1 : public QWidget {
    Q_OBJECT
public:
    explicit TMSGFrame1(QWidget* parent = nullptr);

    // Texts are Windows-1252 bytes, as the files and the unit have them.
    void AddMessage(const std::string& number, const std::string& text,
                    const std::string& date, bool old);
    void LoadFromFile(const std::string& name, bool clear);
    void SaveToFile(const std::string& name);
    static std::string CleanMessage(const std::string& text);

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
    QTextEdit* RichEdit1 = nullptr;
    QMenu* MSGPopup = nullptr;
    QAction* mnuResend = nullptr;
    QAction* mnuReply = nullptr;
    QAction* mnuPrint = nullptr;
    QAction* mnuDelete = nullptr;
};

// The shared sort state of all message lists.
extern int SortColumn;
extern bool SortAscending;
