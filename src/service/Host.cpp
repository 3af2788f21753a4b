#include "service/Host.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <thread>
#include <vector>

#include "platform/FileSystem.h"
#include "platform/MainLoop.h"
#include "platform/Process.h"
#include "platform/Socket.h"
#include "service/ConsoleDialog.h"
#include "service/Installer.h"
#include "service/Main.h"

namespace orbitrace {

namespace {

constexpr char kUsage[] =
    "Usage: orbitrace-server COMMAND [OPTIONS]\n"
    "\n"
    "Fleet-monitoring data server: receives track data and configuration from tracking\n"
    "controllers (WiFi port) and serves it to dispatcher programs (dispatcher port).\n"
    "\n"
    "Commands:\n"
    "  run [--program-dir DIR]        Run the server in the foreground until SIGTERM or\n"
    "                                 SIGINT. DIR holds OrbitraceServer.ini, the operator\n"
    "                                 files and the Logs folder (default: the folder of\n"
    "                                 this executable).\n"
    "  install [--program-dir DIR] [--unit-dir DIR]\n"
    "                                 Register the systemd service: write\n"
    "                                 OrbitraceService.service (default unit folder\n"
    "                                 /etc/systemd/system) and the default configuration.\n"
    "  uninstall [--unit-dir DIR]     Remove the systemd unit file.\n"
    "  status                         Ask the running server for its version over the\n"
    "                                 control socket and print the answer.\n"
    "  --help                         Show this text.\n"
    "  --version                      Show the version.\n"
    "\n"
    "Environment:\n"
    "  ORBITRACE_IPC_PREFIX           Put in front of the names of the named mutexes and\n"
    "                                 of the control socket, so several instances can run\n"
    "                                 on one machine.\n"
    "\n"
    "Exit status: 0 on success and after a stop signal, 1 when the service failed to start,\n"
    "2 for a command-line error, 3 when `status` finds no server answering.\n";

struct Args {
  std::string command;
  std::string programDir;
  std::string unitDir = kDefaultUnitDir;
};

// How long `status` waits for the server (its turn on the control socket and the answer).
constexpr uint32_t kStatusTimeoutMs = 10000;
// How long the host lets the workers end after a stop request, so that their journal lines are
// written before the process exits.
constexpr uint32_t kWorkerStopWaitMs = 3000;

int UsageError(const std::string& message) {
  std::fprintf(stderr, "orbitrace-server: %s\nTry 'orbitrace-server --help'.\n", message.c_str());
  return 2;
}

void PrintVersion() {
  std::printf("orbitrace-server %d.%d.%d.%d\n", ORBITRACE_VERSION_MAJOR, ORBITRACE_VERSION_MINOR,
              ORBITRACE_VERSION_RELEASE, ORBITRACE_VERSION_BUILD);
}

int Run(const Args& args) {
  BlockStopSignals();
  RaiseOpenFileLimit();
  MainLoop loop;
  MainLoop::SetMain(&loop);
  ServiceOptions options;
  options.programDir = args.programDir;
  auto* service = new TOrbitraceService(loop, options);
  StartStopSignalWatcher([service] { service->RequestStop(); });

  bool startFailed = false;
  std::thread serviceThread([&] {
    bool started = true;
    try {
      service->ServiceStart(started);
    } catch (const std::exception& e) {
      std::fprintf(stderr, "orbitrace-server: service start failed: %s\n", e.what());
      started = false;
    }
    if (started) {
      NotifyServiceReady();
      try {
        service->ServiceExecute();
      } catch (const std::exception& e) {
        std::fprintf(stderr, "orbitrace-server: service failed: %s\n", e.what());
      }
      service->WaitWorkersEnded(kWorkerStopWaitMs);
    } else {
      startFailed = true;
    }
    loop.Quit();
  });
  loop.Run();
  serviceThread.join();
  service->ServiceDestroy();
  // Worker threads may still run and use the module: the process ends without destroying it.
  ExitProcess(startFailed ? 1 : 0);
}

int Install(const Args& args) {
  MainLoop loop;
  ServiceOptions options;
  options.programDir = args.programDir;
  const std::string exe = ExecutablePath();
  // The module runs its log writer thread from construction on; it lives until the process ends.
  auto& service = *new TOrbitraceService(loop, options);
  const std::string programDir = service.QueryServiceInfo();
  const std::string unitPath = JoinPath(args.unitDir, kUnitFileName);
  {
    File unit;
    if (!unit.Open(unitPath, Access::Write, Share::Read, Disposition::CreateAlways) ||
        !unit.Write(BuildUnitFile(exe, programDir))) {
      std::fprintf(stderr, "orbitrace-server: cannot write %s: %s\n", unitPath.c_str(),
                   std::strerror(errno));
      return 1;
    }
  }
  try {
    service.ServiceAfterInstall();
  } catch (const std::exception& e) {
    DeleteFile(unitPath);
    std::fprintf(stderr, "orbitrace-server: installation undone: %s\n", e.what());
    return 1;
  }
  std::printf(
      "Installed %s (program folder %s).\n"
      "Start it with: systemctl daemon-reload && systemctl enable --now %s\n",
      unitPath.c_str(), programDir.c_str(), kServiceName);
  return 0;
}

// Asks a running server for its version. Exit status 0 with the answer printed, 3 (the service
// status convention for "not running") when no server answers.
int Status() {
  const std::string name = ControlSocketName();
  Socket s = ConnectControlSocket(name, kStatusTimeoutMs);
  if (s.Valid() && s.SendMessage(kVersionRequest) &&
      s.WaitReadable(kStatusTimeoutMs) == PollResult::Ready) {
    char buf[256];
    const long n = s.Receive(buf, sizeof buf);
    if (n > 0) {
      std::printf("%.*s\n", static_cast<int>(n), buf);
      return 0;
    }
  }
  std::fprintf(stderr, "orbitrace-server: no server answers on the control socket\n");
  return 3;
}

int Uninstall(const Args& args) {
  const std::string unitPath = JoinPath(args.unitDir, kUnitFileName);
  if (!DeleteFile(unitPath)) {
    std::fprintf(stderr, "orbitrace-server: cannot remove %s: %s\n", unitPath.c_str(),
                 std::strerror(errno));
    return 1;
  }
  std::printf("Removed %s. Run: systemctl daemon-reload\n", unitPath.c_str());
  return 0;
}

}  // namespace

int ProgramMain(int argc, char** argv) {
  std::vector<std::string> words(argv + 1, argv + argc);
  if (words.empty()) return UsageError("no command given");
  Args args;
  for (size_t i = 0; i < words.size(); ++i) {
    const std::string& w = words[i];
    if (w == "--help" || w == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (w == "--version") {
      PrintVersion();
      return 0;
    }
    if (w == "--program-dir" || w == "--unit-dir") {
      if (i + 1 >= words.size()) return UsageError(w + " needs a folder");
      (w == "--program-dir" ? args.programDir : args.unitDir) = words[++i];
      continue;
    }
    if (!w.empty() && w[0] == '-') return UsageError("unknown option " + w);
    if (!args.command.empty()) return UsageError("unexpected argument " + w);
    args.command = w;
  }
  if (args.command == "run") return Run(args);
  if (args.command == "install") ExitProcess(Install(args));
  if (args.command == "uninstall") return Uninstall(args);
  if (args.command == "status") return Status();
  return UsageError("unknown command '" + args.command + "'");
}

}  // namespace orbitrace
