#include "service/Main.h"

#include <chrono>
#include <cstdio>
#include <exception>

#include "dispatcher/DispModule.h"
#include "dispatcher/WiFiModul.h"
#include "platform/FileSystem.h"
#include "platform/Process.h"
#include "service/ConsoleDialog.h"

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
      Registry(Settings, GSMEntList, DispEntList, ReplEntList),
      ConnContext(*options.clock, Registry),
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

  // The service thread counts as terminated from here on: a listener that ends now is not
  // started again.
  serviceTerminated_.store(true);
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

bool TOrbitraceService::OnMainThread(const std::function<void()>& fn) {
  return Loop.Send(fn);
}

namespace {
void ReportStartFailure(const char* what, const std::exception& e) {
  std::fprintf(stderr, "orbitrace-server: cannot start the %s thread: %s\n", what, e.what());
}
}  // namespace

void TOrbitraceService::StartDispModule() {
  OnMainThread([this] {
    if (DispListener != nullptr) return;
    try {
      DispListener = new TDispModule(*LogWriter, Settings, ConnContext);
    } catch (const std::exception& e) {
      ReportStartFailure("dispatcher listener", e);
      return;
    }
    DispListener->SetPriority(TThread::Priority::Normal);
    DispListener->SetFreeOnTerminate(true);
    DispListener->SetOnTerminate([this](TThread& sender) { DispModuleTerminated(sender); });
    DispListener->Resume();
    WriteJournal("Диспетчерский модуль запущен");
  });
}

void TOrbitraceService::StartWiFiModule() {
  OnMainThread([this] {
    if (WiFiListener != nullptr) return;
    try {
      WiFiListener = new TWiFiModul(*LogWriter, Settings, ConnContext);
    } catch (const std::exception& e) {
      ReportStartFailure("WiFi listener", e);
      return;
    }
    WiFiListener->SetPriority(TThread::Priority::Normal);
    WiFiListener->SetFreeOnTerminate(true);
    WiFiListener->SetOnTerminate([this](TThread& sender) { WiFiModuleTerminated(sender); });
    WiFiListener->Resume();
    WriteJournal("Модуль WiFi запущен");
  });
}

void TOrbitraceService::StartControlPipe() {
  OnMainThread([this] {
    if (ControlPipeThread != nullptr) return;
    try {
      ControlPipeThread = new TConsoleDialog(
          ControlSocketName(),
          FormatVersionAnswer(VersionMajor, VersionMinor, VersionRelease, VersionBuild));
    } catch (const std::exception& e) {
      ReportStartFailure("control socket", e);
      return;
    }
    ControlPipeThread->SetPriority(TThread::Priority::Normal);
    ControlPipeThread->SetFreeOnTerminate(true);
    // Clears the pointer on the main thread before the thread frees itself.
    ControlPipeThread->SetOnTerminate([this](TThread&) { ControlPipeThread = nullptr; });
    ControlPipeThread->Resume();
  });
}

void TOrbitraceService::StopControlPipe() {
  OnMainThread([this] {
    if (ControlPipeThread != nullptr) ControlPipeThread->Terminate();
  });
}

void TOrbitraceService::StopWiFiModule() {
  OnMainThread([this] {
    if (WiFiListener != nullptr) WiFiListener->Terminate();
  });
}

void TOrbitraceService::StopDispModule() {
  OnMainThread([this] {
    if (DispListener != nullptr) DispListener->Terminate();
  });
}

namespace {
bool IsSocketFailure(int8_t code) {
  return code >= kListenerBindFailed && code <= kListenerSocketFailed;
}
}  // namespace

void TOrbitraceService::DispModuleTerminated(TThread& sender) {
  const int8_t code = static_cast<TDispModule&>(sender).ExitCode;
  if (code != 0) JournalExitCode(kDispModuleName, code, Settings.DispatcherPort);
  WriteJournal("Диспетчерский модуль остановлен");
  DispListener = nullptr;
  if (serviceTerminated_.load() || IsSocketFailure(code)) return;
  StartDispModule();
}

void TOrbitraceService::WiFiModuleTerminated(TThread& sender) {
  const int8_t code = static_cast<TWiFiModul&>(sender).ExitCode;
  if (code != 0) JournalExitCode(kWiFiModuleName, code, Settings.WiFiPort);
  WriteJournal("Модуль WiFi остановлен");
  WiFiListener = nullptr;
  if (serviceTerminated_.load() || IsSocketFailure(code)) return;
  StartWiFiModule();
}

void TOrbitraceService::JournalExitCode(std::string_view moduleName, int8_t code, int32_t port) {
  std::string line(moduleName);
  switch (code) {
    case kListenerBindFailed:
      line += ": Не удалось создать сокет на адресе " + ListenAddress;
      break;
    case kListenerListenFailed:
      line += ": Не удалось создать сокет на порту " + std::to_string(port);
      break;
    case kListenerSocketFailed:
      line += ": ошибка WinSock";
      break;
    default:
      return;
  }
  WriteJournal(line);
}

bool TOrbitraceService::WaitWorkersEnded(uint32_t timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    bool ended = false;
    if (!OnMainThread([&] {
          ended =
              DispListener == nullptr && WiFiListener == nullptr && ControlPipeThread == nullptr;
        })) {
      return false;
    }
    if (ended) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    SleepMs(10);
  }
}

}  // namespace orbitrace
