// The service module: owner of every process-wide object (settings, log writer, journal, named
// mutexes, timers) and the handlers the host calls through the service's life.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "logging/Debug.h"
#include "logging/Journal.h"
#include "platform/Clock.h"
#include "platform/MainLoop.h"
#include "platform/NamedMutex.h"
#include "registry/DevReplace.h"
#include "registry/DeviceList.h"
#include "registry/DirMonitor.h"
#include "registry/DispPasswords.h"
#include "registry/Redirectmodule.h"
#include "service/ConnContext.h"
#include "service/ServiceRegistry.h"
#include "service/Settings.h"

namespace orbitrace {

class TThread;
class TDispModule;
class TWiFiModul;
class TConsoleDialog;

// Module names in the journal lines of the listeners.
inline constexpr char kDispModuleName[] = "Диспетчерский модуль";
inline constexpr char kWiFiModuleName[] = "Модуль WiFi";

inline constexpr char kServiceName[] = "OrbitraceService";
inline constexpr char kDisplayName[] = "Orbitrace Сервер";
inline constexpr char kServiceDescription[] =
    "Обеспечивет приём данных от бортовых контроллеров  «Orbitrace-GSM», "
    "«Orbitrace-ГЛОНАСС-GSM» и «Orbitrace-WiFi», сохранение данных и их передачу в "
    "диспетчерскую часть системы – программу «Orbitrace».";

// Rescan request bits of PendingUpdates.
constexpr uint32_t kUpdateDeviceList = 1;
constexpr uint32_t kUpdateDispatcher = 2;
constexpr uint32_t kUpdatePasswords = 4;
constexpr uint32_t kUpdateRedirect = 8;

// The seven named mutexes the service start creates, in creation order.
enum class ServiceMutex {
  BaseLog,
  GSMEntList,
  GSMEntUpdate,
  BillEntList,
  ReplEntList,
  RedirEntList,
  DispEntList,
};
constexpr size_t kServiceMutexCount = 7;
const char* ServiceMutexName(ServiceMutex m);

struct ServiceOptions {
  // Program folder; empty means the folder of the executable.
  std::string programDir;
  uint32_t dirTimerMs = 10000;
  uint32_t manageLogTimerMs = 5000;
  const Clock* clock = &SystemClock::Instance();
};

class TOrbitraceService {
 public:
  // The module constructor (main thread): creates the lists and starts the log writer.
  TOrbitraceService(MainLoop& loop, ServiceOptions options);
  ~TOrbitraceService();
  TOrbitraceService(const TOrbitraceService&) = delete;
  TOrbitraceService& operator=(const TOrbitraceService&) = delete;

  // Lifecycle handlers, called by the host in this order.
  void ServiceStart(bool& started);  // service thread
  void ServiceExecute();             // service thread; returns after a stop request
  void ServiceStop(bool& stopped);   // service thread, from the request loop
  void ServiceDestroy();             // main thread, at process end
  // After registration by `install`. Raises IniWriteError when the configuration cannot be
  // written.
  void ServiceAfterInstall();

  // Program folder and version numbers.
  std::string QueryServiceInfo();

  // A stop request from the outside (signal); any thread.
  void RequestStop();

  // Timer handlers (main thread).
  void DirTimerTimer();
  void ManageLogTimerTimer();
  // Re-reads the logging keys (main thread).
  void ReloadLogSettings();

  void WriteJournal(std::string_view message) { Journal.WriteJournal(message); }
  NamedMutex* Mutex(ServiceMutex m) { return mutexes_[static_cast<size_t>(m)].get(); }
  const MutexSlot& MutexHandle(ServiceMutex m) const { return mutexes_[static_cast<size_t>(m)]; }

  // Worker supervision. Start and stop may be called from any thread: they run on the main
  // loop's thread, like the termination handlers, so the worker pointers are only ever used
  // there and a stop request never meets a worker that has already freed itself. Without a
  // running main loop they do nothing.
  void StartDispModule();
  void StartWiFiModule();
  void StartControlPipe();
  // Stop requests: set the worker's terminate flag and wake it from its wait for a client.
  // Nothing waits for the worker to end.
  void StopControlPipe();
  void StopWiFiModule();
  void StopDispModule();
  // Termination handlers of the listeners (main thread): journal the end and restart the
  // listener when it ended with code 0 and the service is not stopping.
  void DispModuleTerminated(TThread& sender);
  void WiFiModuleTerminated(TThread& sender);
  // The journal line of a listener's exit code 1 to 3 (`port` goes into the code 2 line).
  void JournalExitCode(std::string_view moduleName, int8_t code, int32_t port);
  // Waits up to `timeoutMs` until both listeners and the control socket thread have ended and
  // their termination handlers have run; false on time-out or without a running main loop.
  // The host calls it after ServiceExecute so that the stop lines reach the journal.
  bool WaitWorkersEnded(uint32_t timeoutMs);

  // Process-wide objects.
  MainLoop& Loop;
  const Clock& clock;
  TSettings Settings;
  TDebugWriter* LogWriter = nullptr;  // frees itself; lives until the process ends
  TJournal Journal;
  TLogRetention LogRetention;
  Timer DirTimer;
  Timer ManageLogTimer;

 private:
  // Created by ServiceStart; declared before the lists that refer to them.
  std::array<std::unique_ptr<NamedMutex>, kServiceMutexCount> mutexes_;

 public:
  // Rescan requests and running flags (main thread only, after the start).
  std::atomic<uint32_t> PendingUpdates{0};
  bool DeviceListBusy = false;
  bool DispatcherBusy = false;
  bool RedirectBusy = false;
  bool PasswordsBusy = false;
  std::string ListenAddress;

  // The device registry: served devices, replacements, redirect servers (kept empty) and
  // dispatcher passwords. A billing list would have no user in this server and is left out.
  TDeviceList GSMEntList;
  TReplaceList ReplEntList;
  TRedirectList RedirEntList;
  TDispPassList DispEntList;
  // The lists as the connection threads look devices up in them.
  TServiceRegistry Registry;
  // Shared by every connection thread.
  TConnContext ConnContext;
  // The directory monitor while it runs.
  std::unique_ptr<TDirMonitor> DirMonitorThread;

  uint32_t VersionMajor = 0;
  uint32_t VersionMinor = 0;
  uint32_t VersionRelease = 0;
  uint32_t VersionBuild = 0;

 private:
  void StartDirMonitor();
  void StopDirMonitor();
  // Runs `fn` on the main loop's thread and waits for it; false when the loop does not run.
  bool OnMainThread(const std::function<void()>& fn);

  // The running workers, or null. Used on the main loop's thread only.
  TDispModule* DispListener = nullptr;
  TWiFiModul* WiFiListener = nullptr;
  TConsoleDialog* ControlPipeThread = nullptr;
  // Set when the request loop has ended: no listener is restarted from then on.
  std::atomic<bool> serviceTerminated_{false};

  // Sets `bit` in PendingUpdates and restarts DirTimer, so the rescan runs one interval later.
  void RequestRescan(uint32_t bit);
  // Takes `bit` out of PendingUpdates; true when it was set.
  bool TakeRequest(uint32_t bit);

  ServiceOptions options_;
  bool reloadRunning_ = false;

  mutable std::mutex requestMu_;
  std::condition_variable requestCv_;
  bool stopRequested_ = false;
};

}  // namespace orbitrace
