#include "platform/settingsstore.h"

#include "platform/registry.h"

namespace platform {
namespace {

std::string KeyPath(const std::string& app, const std::string& section) {
    return "Software\\Program Settings\\" + app + "\\" + section;
}

} // namespace

std::string GetSetting(const std::string& app, const std::string& section,
                       const std::string& key, const std::string& fallback) {
    std::optional<RegKey> k = RegKey::Open(KeyPath(app, section), false);
    if (!k) return fallback;
    std::optional<RegValue> v = k->Get(key);
    if (!v || (v->type != REG_SZ && v->type != REG_EXPAND_SZ)) return fallback;
    std::string text(v->data.begin(), v->data.end());
    if (!text.empty() && text.back() == '\0') text.pop_back();
    return text;
}

bool SaveSetting(const std::string& app, const std::string& section,
                 const std::string& key, const std::string& value) {
    std::optional<RegKey> k = RegKey::Open(KeyPath(app, section), true);
    return k && k->Set(key, RegValue::String(value));
}

} // namespace platform
