// The per-application settings store, kept in the registry file under
// Software\Program Settings\<application>\<section>, one REG_SZ value per key.
#pragma once
#include <string>

namespace platform {

std::string GetSetting(const std::string& app, const std::string& section,
                       const std::string& key, const std::string& fallback);
bool SaveSetting(const std::string& app, const std::string& section,
                 const std::string& key, const std::string& value);

} // namespace platform
