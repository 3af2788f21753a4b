// The configuration file OrbitraceServer.ini: its defaults, the start-up read of every key, the
// re-read of the logging keys, and the folder paths derived from the program folder.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "logging/LogSettings.h"
#include "platform/IniFile.h"

namespace orbitrace {

inline constexpr char kConfigFileName[] = "OrbitraceServer.ini";
inline constexpr char kDefaultYandexUrl[] = "http://127.0.0.1/jams/collect";
inline constexpr char kDefaultDateTimeFormat[] = "yyyymmdd hh:nn:ss";

// Process-wide paths and settings. Paths are fixed by the service start; of the settings only
// the logging keys (in `log`) and TimeZone change later, through a reload on the main thread.
struct TSettings {
  // Paths. Folders that other code appends names to end in '/'.
  std::string ProgramDir;  // no trailing slash
  std::string ConfigFile;
  std::string DataFolder;  // no trailing slash once the start-up read is done
  std::string DBFDir;
  std::string DispatcherDir;
  std::string RedirectDir;
  std::string PasswordsDir;
  std::string YandexTempDir;
  std::string LogDir;
  std::string JournalFile;

  // COMMON
  int32_t DevicesPort = 0;
  int32_t DispatcherPort = 0;
  int32_t WiFiPort = 0;
  std::atomic<int32_t> TimeZone{0};
  bool EnableCache = false;
  bool EnableBilling = false;

  // LOG
  LogSettings log;

  // REDIRECT
  bool EnableYandexProbki = false;
  std::string YandexCLID;
  std::string YandexURL;
  bool UDPRedirectEnable = false;
  std::string UDPRedirectServer;
  uint16_t UDPRedirectPort = 0;

  // SQL
  bool EnableSQL = false;
  bool SQLAddExport = false;
  std::string ConnectionString;
  std::string DateTimeFormat;
  std::string TableName;
  bool GuaranteedInsert = false;

  // True once the start-up read completed without error.
  bool SettingsLoaded = false;

  // Derives every program-folder path from `programDir` (trailing slashes removed).
  void DerivePaths(const std::string& programDir);
  uint16_t DispatcherTcpPort() const { return static_cast<uint16_t>(DispatcherPort & 0xFFFF); }
  uint16_t WiFiTcpPort() const { return static_cast<uint16_t>(WiFiPort & 0xFFFF); }
};

// Brings an open configuration file up to date: adds the missing default keys and removes the
// obsolete ones. Raises IniWriteError when a default cannot be written.
void WriteIniDefaults(IniFile& ini, TSettings& settings);

// Hook that moves legacy single-server redirect keys into the per-server layout. It is called
// with the open configuration file only when section REDIRECT holds RedirectServer or
// RedirectEnable; the six legacy keys are deleted afterwards whatever it did.
using RedirectMigration = std::function<void(IniFile&)>;

// The start-up read. Returns SettingsLoaded. On an error the remaining steps are skipped and the
// keys not yet read keep their values. Trailing slashes are then stripped from DataFolder.
bool ReadStartupSettings(TSettings& settings, const RedirectMigration& migrate);

// Reads the logging keys (and TimeZone) with the reload fallbacks after bringing the file up to
// date. Raises IniWriteError when the file cannot be brought up to date; then nothing is read.
void ReadLogSettings(TSettings& settings);

}  // namespace orbitrace
