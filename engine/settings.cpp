#include "engine/settings.h"

#include <optional>
#include <string>

#include "engine/globals.h"
#include "engine/mainwindow.h"
#include "platform/registry.h"

namespace {

using platform::RegKey;
using platform::RegValue;

const char* const kDefaultSignature = "- Sent using Corvane";

// An integer read fails when the value is missing or is not a 4-byte REG_DWORD.
std::optional<int32_t> ReadInteger(const RegKey& key, const char* name) {
    try {
        std::optional<RegValue> v = key.Get(name);
        if (!v || v->type != platform::REG_DWORD || v->data.size() != 4) return std::nullopt;
        uint32_t u = uint32_t(v->data[0]) | uint32_t(v->data[1]) << 8 |
                     uint32_t(v->data[2]) << 16 | uint32_t(v->data[3]) << 24;
        return int32_t(u);
    } catch (...) {
        return std::nullopt;
    }
}

std::optional<bool> ReadBool(const RegKey& key, const char* name) {
    std::optional<int32_t> v = ReadInteger(key, name);
    if (!v) return std::nullopt;
    return *v != 0;
}

// A string read fails only when the value exists with a non-string type; a missing value
// reads as empty text. The raw bytes end at the first zero.
std::optional<std::string> ReadString(const RegKey& key, const char* name) {
    try {
        std::optional<RegValue> v = key.Get(name);
        if (!v) return std::string();
        if (v->type != platform::REG_SZ && v->type != platform::REG_EXPAND_SZ)
            return std::nullopt;
        std::string s(v->data.begin(), v->data.end());
        std::size_t zero = s.find('\0');
        if (zero != std::string::npos) s.resize(zero);
        return s;
    } catch (...) {
        return std::nullopt;
    }
}

void ApplyPort(int n) {
    try {
        MainWindow().SetPort(n);
    } catch (...) {
    }
}

} // namespace

void LoadSettings() {
    std::optional<RegKey> key;
    try {
        key = RegKey::Open(RegistryKey, false);
    } catch (...) {
        return;
    }
    if (!key) return;

    if (ReadInteger(*key, "SetVer").value_or(0) == 0) {
        Settings.PduMode = false;
        Settings.ClearCompose = true;
        Settings.Init.clear();
        Settings.Port = 1;
        ApplyPort(1);
        Settings.Signature = kDefaultSignature;
        Settings.DebugMode = false;
        return;
    }

    Settings.PduMode = ReadBool(*key, "PDU").value_or(false);
    Settings.DebugMode = ReadBool(*key, "VardelDebug").value_or(false);
    Settings.ClearCompose = ReadBool(*key, "ClearCompose").value_or(false);
    Settings.Init = ReadString(*key, "init").value_or(std::string());
    try {
        MainWindow().SetCommPort(1);
    } catch (...) {
    }
    if (std::optional<int32_t> port = ReadInteger(*key, "port")) {
        Settings.Port = *port;
        ApplyPort(Settings.Port);
    } else {
        Settings.Port = 1;
        ApplyPort(1);
    }
    Settings.Signature = ReadString(*key, "sig").value_or(kDefaultSignature);
    Settings.UsePass = ReadBool(*key, "UsePass").value_or(false);
    Settings.Password = ReadString(*key, "Password").value_or(std::string());
}

void SaveSettings() {
    try {
        // The key is created when missing, and all values reach the file in one save.
        RegKey::Write(RegistryKey,
                      {{"SetVer", RegValue::Dword(1)},
                       {"init", RegValue::String(Settings.Init)},
                       {"ClearCompose", RegValue::Dword(Settings.ClearCompose ? 1 : 0)},
                       {"PDU", RegValue::Dword(Settings.PduMode ? 1 : 0)},
                       {"port", RegValue::Dword(uint32_t(Settings.Port))},
                       {"sig", RegValue::String(Settings.Signature)},
                       {"UsePass", RegValue::Dword(Settings.UsePass ? 1 : 0)},
                       {"Password", RegValue::String(Settings.Password)}});
    } catch (...) {
    }
}
