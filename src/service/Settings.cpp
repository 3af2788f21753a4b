#include "service/Settings.h"

#include "platform/FileSystem.h"

namespace orbitrace {

namespace {

constexpr char kCommon[] = "COMMON";
constexpr char kLog[] = "LOG";
constexpr char kRedirect[] = "REDIRECT";
constexpr char kSql[] = "SQL";

constexpr const char* kLegacyRedirectKeys[] = {"RedirectEnable", "RedirectServer", "RedirectPort",
                                               "RedirectPeriod", "RedirectFormat", "RedirectAll"};

void WriteIfMissing(IniFile& ini, const char* section, const char* key, int32_t value) {
  if (!ini.ValueExists(section, key)) ini.WriteInteger(section, key, value);
}

}  // namespace

void TSettings::DerivePaths(const std::string& programDir) {
  ProgramDir = ExcludeTrailingSlashes(programDir);
  if (ProgramDir == "/") ProgramDir.clear();  // paths below then start at the root
  ConfigFile = ProgramDir + "/" + kConfigFileName;
  DBFDir = ProgramDir + "/DBF/";
  DispatcherDir = ProgramDir + "/Dispatcher/";
  RedirectDir = ProgramDir + "/Redirect/";
  PasswordsDir = ProgramDir + "/Passwords/";
  YandexTempDir = ProgramDir + "/YandexTemp/";
  LogDir = ProgramDir + "/Logs/";
  JournalFile = ProgramDir + "/Logs/Orbitraceserver.log";
  log.SetLogFolder(LogDir);
}

void WriteIniDefaults(IniFile& ini, TSettings& settings) {
  if (!ini.ValueExists(kCommon, "DataFolder")) {
    settings.DataFolder = settings.ProgramDir + "/Data";
    ini.WriteString(kCommon, "DataFolder", settings.DataFolder);
  }
  if (ini.ValueExists(kCommon, "WriteDebug")) ini.DeleteKey(kCommon, "WriteDebug");
  if (ini.ValueExists(kCommon, "WriteLog")) ini.DeleteKey(kCommon, "WriteLog");
  WriteIfMissing(ini, kCommon, "DispatcherPort", 2226);
  WriteIfMissing(ini, kCommon, "WiFiPort", 2224);
  WriteIfMissing(ini, kLog, "WriteLog", 1);
  WriteIfMissing(ini, kLog, "LogLevel", 3);
  WriteIfMissing(ini, kLog, "EnableLogSplit", 1);
  WriteIfMissing(ini, kLog, "LogSplitTime", 1);
  WriteIfMissing(ini, kLog, "LogStorageTime", 30);
  WriteIfMissing(ini, kLog, "WriteDispatcherLog", 1);
  WriteIfMissing(ini, kLog, "WriteWiFiLog", 1);
  WriteIfMissing(ini, kCommon, "TimeZone", 0);
  // There is no legacy registry key on this platform.
}

bool ReadStartupSettings(TSettings& s, const RedirectMigration& migrate) {
  IniFile ini(s.ConfigFile);
  try {
    WriteIniDefaults(ini, s);
    s.DataFolder = ini.ReadString(kCommon, "DataFolder", s.DataFolder);
    s.DevicesPort = ini.ReadInteger(kCommon, "DevicesPort", 2225);
    s.DispatcherPort = ini.ReadInteger(kCommon, "DispatcherPort", 2226);
    s.WiFiPort = ini.ReadInteger(kCommon, "WiFiPort", 2224);
    s.log.writeLog = ini.ReadBool(kLog, "WriteLog", true);
    s.log.logLevel = ini.ReadInteger(kLog, "LogLevel", 3);
    s.log.enableLogSplit = ini.ReadInteger(kLog, "EnableLogSplit", 0);
    s.log.logSplitTime = ini.ReadInteger(kLog, "LogSplitTime", 0);
    s.log.logStorageTime = ini.ReadInteger(kLog, "LogStorageTime", 0);
    s.log.writeDeviceLog = ini.ReadBool(kLog, "WriteDeviceLog", true);
    s.log.writeDispatcherLog = ini.ReadBool(kLog, "WriteDispatcherLog", true);
    s.log.writeWiFiLog = ini.ReadBool(kLog, "WriteWiFiLog", true);
    s.log.writeRedirectLog = ini.ReadBool(kLog, "WriteRedirectLog", true);
    s.log.writeYandexLog = ini.ReadBool(kLog, "WriteYandexLog", true);
    s.TimeZone = ini.ReadInteger(kCommon, "TimeZone", 0);
    s.EnableYandexProbki = ini.ReadBool(kRedirect, "EnableYandexProbki", false);
    s.YandexCLID = ini.ReadString(kRedirect, "YandexCLID", "");
    s.YandexURL = ini.ReadString(kRedirect, "YandexURL", kDefaultYandexUrl);
    s.EnableCache = ini.ReadBool(kCommon, "EnableCache", false);
    s.UDPRedirectEnable = ini.ReadBool(kRedirect, "UDPRedirectEnable", false);
    s.UDPRedirectServer = ini.ReadString(kRedirect, "UDPRedirectServer", "");
    s.UDPRedirectPort = static_cast<uint16_t>(ini.ReadInteger(kRedirect, "UDPRedirectPort", 0));
    s.EnableBilling = ini.ReadBool(kCommon, "EnableBilling", false);
    s.EnableSQL = ini.ReadBool(kSql, "EnableSQL", false);
    s.SQLAddExport = ini.ReadBool(kSql, "SQLAddExport", false);
    s.ConnectionString = ini.ReadString(kSql, "ConnectionString", "");
    s.DateTimeFormat = ini.ReadString(kSql, "DateTimeFormat", kDefaultDateTimeFormat);
    if (s.DateTimeFormat.empty()) s.DateTimeFormat = kDefaultDateTimeFormat;
    s.DateTimeFormat += ".000";
    s.TableName = ini.ReadString(kSql, "TableName", "");
    s.GuaranteedInsert = ini.ReadBool(kSql, "GuaranteedInsert", true);

    if (ini.ValueExists(kRedirect, "RedirectServer") ||
        ini.ValueExists(kRedirect, "RedirectEnable")) {
      if (migrate) migrate(ini);
      for (const char* key : kLegacyRedirectKeys) ini.DeleteKey(kRedirect, key);
    }
    s.SettingsLoaded = true;
    // Billing is not part of this server: it stays off whatever the file says.
    s.EnableBilling = false;
  } catch (const std::exception&) {
    // The keys not yet read keep their values; the caller sees SettingsLoaded false.
  }
  s.DataFolder = ExcludeTrailingSlashes(s.DataFolder);
  return s.SettingsLoaded;
}

void ReadLogSettings(TSettings& s) {
  IniFile ini(s.ConfigFile);
  WriteIniDefaults(ini, s);
  s.TimeZone = ini.ReadInteger(kCommon, "TimeZone", 0);
  s.log.writeLog = ini.ReadBool(kLog, "WriteLog", true);
  s.log.logLevel = ini.ReadInteger(kLog, "LogLevel", 3);
  s.log.enableLogSplit = ini.ReadInteger(kLog, "EnableLogSplit", 1);
  s.log.logSplitTime = ini.ReadInteger(kLog, "LogSplitTime", 1);
  s.log.logStorageTime = ini.ReadInteger(kLog, "LogStorageTime", 30);
  s.log.writeDeviceLog = ini.ReadBool(kLog, "WriteDeviceLog", true);
  s.log.writeDispatcherLog = ini.ReadBool(kLog, "WriteDispatcherLog", true);
  s.log.writeWiFiLog = ini.ReadBool(kLog, "WriteWiFiLog", true);
  s.log.writeRedirectLog = ini.ReadBool(kLog, "WriteRedirectLog", true);
  s.log.writeYandexLog = ini.ReadBool(kLog, "WriteYandexLog", true);
}

}  // namespace orbitrace
