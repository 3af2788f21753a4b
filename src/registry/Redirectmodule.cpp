#include "registry/Redirectmodule.h"

#include "platform/FileSystem.h"

namespace orbitrace {

namespace {

// A server text that would name a folder outside the Redirect folder (or no folder at all).
bool IsUnsafeFolderName(const std::string& name) {
  return name.find('/') != std::string::npos || name.find('\0') != std::string::npos ||
         name == "." || name == "..";
}

}  // namespace

void MigrateRedirectSettings(IniFile& ini, const std::string& redirectDir) {
  constexpr char kRedirect[] = "REDIRECT";
  const int32_t enable = ini.ReadInteger(kRedirect, "RedirectEnable", 0);
  const std::string server = ini.ReadString(kRedirect, "RedirectServer", "");
  const int32_t port = ini.ReadInteger(kRedirect, "RedirectPort", 0);
  const int32_t period = ini.ReadInteger(kRedirect, "RedirectPeriod", 60);
  const int32_t format = ini.ReadInteger(kRedirect, "RedirectFormat", 0);
  const int32_t all = ini.ReadInteger(kRedirect, "RedirectAll", 0);
  if (server.empty() || port == 0 || enable == 0 || IsUnsafeFolderName(server)) return;

  std::string folder = redirectDir;
  if (folder.empty() || folder.back() != '/') folder.push_back('/');
  folder += server + "-" + std::to_string(port);
  if (!CreateDir(folder)) return;
  try {
    IniFile settings(folder + "/Settings.ini");
    settings.WriteInteger("COMMON", "Period", period);
    settings.WriteInteger("COMMON", "RedirectAll", all);
    settings.WriteInteger("COMMON", "Format", format);
  } catch (const IniWriteError&) {
    // A settings file that cannot be written is dropped like a folder that cannot be created;
    // it must not fail the reading of the main configuration.
  }
}

}  // namespace orbitrace
