#include "service/Main.h"

#include "platform/FileSystem.h"
#include "platform/Process.h"

namespace orbitrace {

const char* ServiceMutexName(ServiceMutex m) {
  switch (m) {
    case ServiceMutex::BaseLog:
      return "OrbitraceServerBaseLogMutex";
    case ServiceMutex::GSMEntList:
      return "OrbitraceServerGSMEntListMutex";
    case ServiceMutex::GSMEntUpdate:
      return "OrbitraceServerGSMEntUpdateMutex";
    case ServiceMutex::BillEntList:
      return "OrbitraceServerBillEntListMutex";
    case ServiceMutex::ReplEntList:
      return "OrbitraceServerReplEntListMutex";
    case ServiceMutex::RedirEntList:
      return "OrbitraceServerRedirEntListMutex";
    case ServiceMutex::DispEntList:
      return "OrbitraceServerDispEntListMutex";
  }
  return "";
}

TOrbitraceService::TOrbitraceService(MainLoop& loop, ServiceOptions options)
    : Loop(loop),
      clock(*options.clock),
      Journal(*options.clock),
      LogRetention(Settings.log, *options.clock),
      DirTimer(
          loop, options.dirTimerMs, [this] { DirTimerTimer(); }, true),
      ManageLogTimer(
          loop, options.manageLogTimerMs, [this] { ManageLogTimerTimer(); }, true),
      PendingUpdates(kUpdateDeviceList | kUpdateDispatcher),
      GSMEntList(Settings, MutexHandle(ServiceMutex::GSMEntList),
                 MutexHandle(ServiceMutex::GSMEntUpdate), Journal, DeviceListBusy,
                 [this] { RequestRescan(kUpdateDeviceList); }),
      ReplEntList(Settings, MutexHandle(ServiceMutex::ReplEntList)),
      DispEntList(Settings, MutexHandle(ServiceMutex::DispEntList), PasswordsBusy,
                  [this] { RequestRescan(kUpdatePasswords); }),
      options_(std::move(options)) {
  LogWriter = new TDebugWriter(Settings.log, clock);
  LogWriter->SetFreeOnTerminate(true);
  LogWriter->SetPriority(TThread::Priority::Normal);
  LogWriter->Resume();
}

TOrbitraceService::~TOrbitraceService() = default;

std::string TOrbitraceService::QueryServiceInfo() {
  VersionMajor = ORBITRACE_VERSION_MAJOR;
  VersionMinor = ORBITRACE_VERSION_MINOR;
  VersionRelease = ORBITRACE_VERSION_RELEASE;
  VersionBuild = ORBITRACE_VERSION_BUILD;
  std::string dir = options_.programDir;
  if (dir.empty()) dir = ExtractFileDir(ExecutablePath());
  return ExcludeTrailingSlashes(AbsolutePath(dir));
}

void TOrbitraceService::ServiceStart(bool& /*started*/) {
  LogWriter->CreateLogMutexes();
  for (size_t i = 0; i < kServiceMutexCount; ++i) {
    mutexes_[i] = NamedMutex::Create(ServiceMutexName(static_cast<ServiceMutex>(i)));
  }
  Settings.DerivePaths(QueryServiceInfo());
  Journal.SetFile(Settings.JournalFile);
  Journal.SetMutex(Mutex(ServiceMutex::BaseLog));

  ForceDirectories(Settings.ProgramDir + "/Logs");
  ForceDirectories(Settings.PasswordsDir);
  WriteJournal("Служба запущена");

  DeleteStaleListFiles(Settings.ProgramDir);

  ReadStartupSettings(Settings,
                      [this](IniFile& ini) { MigrateRedirectSettings(ini, Settings.RedirectDir); });
  // No other thread uses the replacement list yet.
  ReplEntList.LoadAtStart();
  StartDirMonitor();
}

void TOrbitraceService::ServiceExecute() {
  StartDispModule();
  if (Settings.SettingsLoaded) StartWiFiModule();
  StartControlPipe();

  // The request loop: the only request this host delivers is the stop request.
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(requestMu_);
      requestCv_.wait(lock, [this] { return stopRequested_; });
    }
    bool stopped = true;
    ServiceStop(stopped);
    if (stopped) break;
    std::lock_guard<std::mutex> lock(requestMu_);
    stopRequested_ = false;
  }

  StopControlPipe();
  if (Settings.SettingsLoaded) StopWiFiModule();
  StopDispModule();
}

void TOrbitraceService::ServiceStop(bool& /*stopped*/) {
  DirTimer.SetEnabled(false);
  StopDirMonitor();
  // Emptied on the main thread, after a rebuild that may be running there (and may have asked
  // the timer for a retry), so that no rebuild puts devices back once the service stops.
  const auto empty = [this] {
    DirTimer.SetEnabled(false);
    GSMEntList.Clear();
  };
  if (!Loop.Send(empty)) empty();
}

void TOrbitraceService::ServiceDestroy() {
  DirTimer.SetEnabled(false);
  GSMEntList.Clear();
  ReplEntList.ClearReplaceList();
  RedirEntList.ClearRedirectList();
  DispEntList.Clear();
}

void TOrbitraceService::ServiceAfterInstall() {
  Settings.DerivePaths(QueryServiceInfo());
  IniFile ini(Settings.ConfigFile);
  Settings.DataFolder = Settings.ProgramDir + "/Data";
  ini.WriteString("COMMON", "DataFolder", Settings.DataFolder);
  WriteIniDefaults(ini, Settings);
}

void TOrbitraceService::RequestStop() {
  std::lock_guard<std::mutex> lock(requestMu_);
  stopRequested_ = true;
  requestCv_.notify_all();
}

bool TOrbitraceService::StopRequested() const {
  std::lock_guard<std::mutex> lock(requestMu_);
  return stopRequested_;
}

void TOrbitraceService::ManageLogTimerTimer() {
  if (!LogRetention.ManageLogFiles()) ManageLogTimer.SetEnabled(false);
}

void TOrbitraceService::ReloadLogSettings() {
  if (reloadRunning_) return;
  reloadRunning_ = true;
  try {
    ReadLogSettings(Settings);
    ManageLogTimer.SetEnabled(Settings.log.enableLogSplit.load() != 0);
  } catch (...) {
    reloadRunning_ = false;
    throw;
  }
  reloadRunning_ = false;
}

bool TOrbitraceService::TakeRequest(uint32_t bit) {
  return (PendingUpdates.fetch_and(~bit) & bit) != 0;
}

void TOrbitraceService::RequestRescan(uint32_t bit) {
  PendingUpdates |= bit;
  DirTimer.Restart();
}

void TOrbitraceService::DirTimerTimer() {
  DirTimer.SetEnabled(false);
  // A request that meets its rebuild still running is dropped.
  if (TakeRequest(kUpdateRedirect) && !RedirectBusy) {
    // The redirect folder has no list attached in this server.
  }
  if (TakeRequest(kUpdateDeviceList) && !DeviceListBusy) GSMEntList.UpdateDeviceList();
  if (TakeRequest(kUpdateDispatcher) && !DispatcherBusy) {
    // The dispatcher folder has no list attached in this server.
  }
  if (TakeRequest(kUpdatePasswords) && !PasswordsBusy) DispEntList.UpdateDispPasswords();
}

void TOrbitraceService::StartDirMonitor() {
  if (DirMonitorThread) return;
  if (!DirectoryExists(Settings.DBFDir)) CreateDir(Settings.DBFDir);
  if (Settings.EnableBilling && !DirectoryExists(Settings.DispatcherDir))
    CreateDir(Settings.DispatcherDir);
  TDirMonitor::Handlers handlers;
  handlers.requestRescan = [this](uint32_t bit) { RequestRescan(bit); };
  handlers.reloadSettings = [this] { ReloadLogSettings(); };
  handlers.updateReplaceList = [this] { ReplEntList.UpdateReplaceList(); };
  handlers.reportError = [this](const std::string& text) {
    LogWriter->AddDispRecord(CurrentThreadId(), text, kLevelALW);
  };
  auto monitor =
      std::make_unique<TDirMonitor>(Loop, Settings, Settings.EnableBilling, std::move(handlers));
  PendingUpdates |= kUpdateDeviceList | kUpdatePasswords | kUpdateRedirect;
  if (Settings.EnableBilling) PendingUpdates |= kUpdateDispatcher;
  DirTimer.Restart();
  monitor->SetFreeOnTerminate(false);
  monitor->SetPriority(TThread::Priority::Idle);
  monitor->Resume();
  DirMonitorThread = std::move(monitor);
}

void TOrbitraceService::StopDirMonitor() {
  if (!DirMonitorThread) return;
  DirMonitorThread->Stop();
  DirMonitorThread.reset();
}

// The listeners and the control socket are started here once they exist.
void TOrbitraceService::StartDispModule() {}
void TOrbitraceService::StartWiFiModule() {}
void TOrbitraceService::StartControlPipe() {}
void TOrbitraceService::StopControlPipe() {}
void TOrbitraceService::StopWiFiModule() {}
void TOrbitraceService::StopDispModule() {}

}  // namespace orbitrace
