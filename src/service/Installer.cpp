#include "service/Installer.h"

#include "service/Main.h"

namespace orbitrace {

std::string QuoteUnitWord(const std::string& word) {
  std::string out = "\"";
  for (char c : word) {
    if (c == '"' || c == '\\') out.push_back('\\');
    if (c == '%') out.push_back('%');  // specifiers
    out.push_back(c);
  }
  out.push_back('"');
  return out;
}

std::string BuildUnitFile(const std::string& executable, const std::string& programDir) {
  std::string u;
  u += "[Unit]\n";
  u += "Description=";
  u += kServiceDescription;
  u += "\n";
  u += "Wants=network-online.target\n";
  u += "After=network-online.target\n";
  u += "\n[Service]\n";
  u += "Type=notify\n";
  u += "ExecStart=" + QuoteUnitWord(executable) + " run --program-dir " +
       QuoteUnitWord(programDir) + "\n";
  u += "Restart=on-failure\n";
  u += "TimeoutStopSec=15\n";
  u += "# One thread and one descriptor per connection: do not cap them below what the\n";
  u += "# server is built for.\n";
  u += "TasksMax=infinity\n";
  u += "LimitNOFILE=1048576\n";
  u += "NoNewPrivileges=yes\n";
  u += "ProtectSystem=full\n";
  u += "PrivateTmp=yes\n";
  u += "ReadWritePaths=" + QuoteUnitWord(programDir) + "\n";
  u += "\n[Install]\n";
  u += "WantedBy=multi-user.target\n";
  return u;
}

}  // namespace orbitrace
