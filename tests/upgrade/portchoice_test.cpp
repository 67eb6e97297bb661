#include <gtest/gtest.h>

#include <QComboBox>
#include <QPushButton>

#include <climits>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sys/file.h>
#include <unistd.h>

#include "platform/qt/dialogs.h"
#include "platform/registry.h"
#include "platform/settingsstore.h"
#include "tests/support/pty.h"
#include "tests/support/testenv.h"
#include "upgrade/registry.h"
#include "upgrade/serialport.h"

namespace fs = std::filesystem;
using platform::RegValue;
using testing_support::TestEnv;
using testing_support::TestPty;

namespace {

const char kKey[] = "\\Software\\Hobrin\\Corvane\\1.0";
const char kReadKey[] = "Software\\Hobrin\\corvane\\1.0";

RegValue Raw(uint32_t type, const std::string& bytes) {
    RegValue v;
    v.type = type;
    v.data.assign(bytes.begin(), bytes.end());
    return v;
}

TEST(RegistryReader, ConvertsByType) {
    TestEnv env;
    auto key = platform::RegKey::Open(kKey, true);
    ASSERT_TRUE(key);
    struct Case {
        const char* name;
        RegValue value;
        std::string text;
    };
    const std::vector<Case> cases = {
        {"sz with its zero", RegValue::String("5"), "5"},
        {"sz stored without a zero", Raw(platform::REG_SZ, "abc"), "abc"},
        {"sz loses only one zero", Raw(platform::REG_SZ, std::string("ab\0\0", 4)),
         std::string("ab\0", 3)},
        {"dword 5", RegValue::Dword(5), "&h000005"},
        {"dword all bytes", RegValue::Dword(0x12345678), "&h12345678"},
        {"dword -1", RegValue::Dword(0xFFFFFFFFu), "&hFFFFFFFF"},
        {"dword upper-case digits", RegValue::Dword(0x00ABCDEF), "&hABCDEF"},
        {"dword with a zero in the middle", RegValue::Dword(0x01000203), "&h01000203"},
        {"expand sz", RegValue::String("5", platform::REG_EXPAND_SZ), ""},
        {"binary", Raw(platform::REG_BINARY, "\x05"), ""},
        {"no bytes", Raw(platform::REG_SZ, ""), ""},
        {"1024 bytes", Raw(platform::REG_SZ, std::string(1023, 'x') + '\0'),
         std::string(1023, 'x')},
        {"1025 bytes", Raw(platform::REG_SZ, std::string(1024, 'x') + '\0'), ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(key->Set("Port", c.value));
        EXPECT_EQ(upgrade::ReadRegistryValue(upgrade::HKEY_CURRENT_USER, kReadKey, "Port"), c.text);
    }
    EXPECT_EQ(upgrade::ReadRegistryValue(upgrade::HKEY_CURRENT_USER, kReadKey, "Nothing"), "");
    EXPECT_EQ(upgrade::ReadRegistryValue(0x80000002u, kReadKey, "Port"), "");
}

TEST(RegistryReader, MissingKeyReadsEmptyAndCreatesNothing) {
    TestEnv env;
    EXPECT_EQ(upgrade::ReadRegistryValue(upgrade::HKEY_CURRENT_USER, kReadKey, "Port"), "");
    EXPECT_FALSE(fs::exists(env.registry()));
    ASSERT_TRUE(platform::RegKey::Open("Software\\Other", true));
    EXPECT_EQ(upgrade::ReadRegistryValue(upgrade::HKEY_CURRENT_USER, kReadKey, "Port"), "");
    EXPECT_FALSE(platform::RegKey::Open(kReadKey, false));
    // A registry file that is not one reads as empty.
    std::ofstream(env.registry(), std::ios::trunc) << "\x01\x02 garbage [[[";
    EXPECT_EQ(upgrade::ReadRegistryValue(upgrade::HKEY_CURRENT_USER, kReadKey, "Port"), "");
}

TEST(RegistryReader, ValueNumbers) {
    const std::pair<const char*, int32_t> cases[] = {
        {"&h000005", 5},          {"&hFFFFFFFF", -1},      {"&h7FFFFFFF", INT32_MAX},
        {"&h80000000", INT32_MIN}, {"&hab", 0xAB},          {"12", 12},
        {"-3", -3},               {"12abc", 12},           {"", 77},
        {"abc", 77},              {"&h", 77},              {"&hG1", 77},
        {"&h123456789", 77},      {"99999999999", 77},     {"-", 77},
    };
    for (auto [text, number] : cases) EXPECT_EQ(upgrade::ValueNumber(text, 77), number) << text;
}

// Ports for the dialog: ptys linked as COM numbers.
class PortDialog : public ::testing::Test {
protected:
    void Map(int n, TestPty& pty) { env.MapCom(n, pty.slavePath()); }
    std::string Stored() { return platform::GetSetting("VardelUPG", "Port", "COMport", "<none>"); }
    std::vector<std::pair<QString, int>> Items(const upgrade::SerialPort& dialog) {
        std::vector<std::pair<QString, int>> items;
        for (int i = 0; i < dialog.Combo1->count(); ++i)
            items.emplace_back(dialog.Combo1->itemText(i), dialog.Combo1->itemData(i).toInt());
        return items;
    }
    TestEnv env;
    TestPty a, b, c, held, zero;
};

TEST_F(PortDialog, ListsPortsThatCanBeOpenedInOrder) {
    Map(3, b);
    Map(1, a);
    Map(12, c);
    Map(0, zero);
    std::ofstream(env.root() + "/plain") << "x";
    env.MapCom(5, env.root() + "/plain");       // no device
    env.MapCom(6, env.root() + "/missing");     // nothing there
    Map(7, held);
    int other = open(held.slavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(other, 0);
    ASSERT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);   // another program holds COM7

    upgrade::SerialPort dialog;
    EXPECT_EQ(dialog.windowTitle(), "COM port");
    EXPECT_EQ(dialog.cmdOK->text(), "&OK");
    EXPECT_EQ(dialog.cmdCancel->text(), "&Cancel");
    EXPECT_TRUE(dialog.cmdOK->isDefault());
    using Item = std::pair<QString, int>;
    EXPECT_EQ(Items(dialog),
              (std::vector<Item>{{"COM0", 0}, {"COM1", 1}, {"COM3", 3}, {"COM12", 12}}));
    EXPECT_EQ(dialog.Combo1->currentIndex(), -1);
    close(other);
    dialog.Form_Load();   // each showing looks again
    EXPECT_EQ(Items(dialog).size(), 5u);
}

TEST_F(PortDialog, PreselectsTheStoredPort) {
    Map(1, a);
    Map(3, b);
    const std::pair<const char*, int> cases[] = {
        {"3", 1}, {"1", 0}, {"4", -1}, {"-1", -1}, {"x3", -1}, {"", -1},
    };
    for (auto [stored, index] : cases) {
        platform::SaveSetting("VardelUPG", "Port", "COMport", stored);
        upgrade::SerialPort dialog;
        EXPECT_EQ(dialog.Combo1->currentIndex(), index) << "stored \"" << stored << "\"";
    }
}

TEST_F(PortDialog, OkStoresTheChoiceCancelStoresNothing) {
    Map(1, a);
    Map(12, c);
    {
        upgrade::SerialPort dialog;
        dialog.cmdCancel->click();
        EXPECT_EQ(dialog.result(), QDialog::Rejected);
        EXPECT_EQ(Stored(), "<none>");
    }
    {
        upgrade::SerialPort dialog;
        dialog.cmdOK->click();   // nothing current: stores nothing, does not fail
        EXPECT_EQ(dialog.result(), QDialog::Accepted);
        EXPECT_EQ(Stored(), "<none>");
    }
    {
        upgrade::SerialPort dialog;
        dialog.Combo1->setCurrentIndex(1);
        dialog.cmdOK->click();
        EXPECT_EQ(Stored(), "12");
        EXPECT_EQ(upgrade::ReadPortSetting(), 12);
    }
    {
        upgrade::SerialPort dialog;   // Cancel leaves the stored choice alone
        EXPECT_EQ(dialog.Combo1->currentText(), "COM12");
        dialog.Combo1->setCurrentIndex(0);
        dialog.cmdCancel->click();
        EXPECT_EQ(Stored(), "12");
    }
}

TEST_F(PortDialog, ShownModallyThroughTheDialogSeam) {
    Map(2, a);
    int shown = 0;
    auto previous = platform::SetDialogScript([&](QDialog& d) {
        ++shown;
        auto* dialog = qobject_cast<upgrade::SerialPort*>(&d);
        EXPECT_NE(dialog, nullptr);
        if (!dialog) return int(QDialog::Rejected);
        dialog->Combo1->setCurrentIndex(0);
        dialog->cmdOK->click();
        return dialog->result();
    });
    upgrade::ShowSerialPort(nullptr);
    platform::SetDialogScript(previous);
    EXPECT_EQ(shown, 1);
    EXPECT_EQ(upgrade::ReadPortSetting(), 2);
}

} // namespace
