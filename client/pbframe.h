// The phonebook pane and its file "phonebook.csv".
#pragma once
#include <QWidget>
#include <string>
#include <utility>
#include <vector>

class QAction;
class QLabel;
class QLineEdit;
class QMenu;
class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;

class TPBFrame1 : public QWidget {
    Q_OBJECT
public:
    explicit TPBFrame1(QWidget* parent = nullptr);

    void LoadPhonebook(const std::string& path, bool clearFirst);
    void SavePhonebook(const std::string& name);
    // Name compared without regard to case; the first match in list order wins. The
    // entry under edit is left out, here and in Entries().
    bool LookupNumber(const std::string& text, std::string& number) const;
    void SetEditMode(bool editing);

    // Entries in list order: (name, number), Windows-1252 bytes.
    std::vector<std::pair<std::string, std::string>> Entries() const;
    // Index of the first selected entry, -1 when none.
    int SelectedIndex() const;

    // Handlers.
    void BtnPBOKClick();
    void BtnPBCancelClick();
    void BtnPBNewClick();
    void Edit1Click();
    void Delete1Click();
    void NewSMS1Click();
    void PBPopUpPopup();
    void pbklistSelectItem(QTreeWidgetItem* item, bool selected);
    // A character typed into EditPBNumber; set to 0 when it is swallowed.
    void EditPBNumberKeyPress(char& key);

    QTreeWidget* pbklist = nullptr;
    QLabel* lblname = nullptr;
    QLabel* lblnumber = nullptr;
    QLineEdit* EditPBName = nullptr;
    QLineEdit* EditPBNumber = nullptr;
    QPushButton* BtnPBOK = nullptr;
    QPushButton* BtnPBNew = nullptr;
    QPushButton* BtnPBCancel = nullptr;
    QPushButton* BtnPBKEdit = nullptr;
    QMenu* PBPopUp = nullptr;
    QAction* Edit1 = nullptr;
    QAction* Delete1 = nullptr;
    QAction* NewSMS1 = nullptr;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void AddEntry(const std::string& name, const std::string& number);
    QTreeWidgetItem* editing_ = nullptr;  // the entry being edited: hidden, still saved,
                                          // in no lookup
    std::string pendingRescue_;           // a file that failed to load and has no copy yet
};

// The open edit's origin: whether it came from an entry, and that entry's texts.
extern bool EditingExisting;
extern std::string SavedName;
extern std::string SavedNumber;
