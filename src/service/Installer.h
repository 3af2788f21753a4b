// Registration with systemd: the unit file that stands for the service registration.
#pragma once

#include <string>

namespace orbitrace {

inline constexpr char kDefaultUnitDir[] = "/etc/systemd/system";
inline constexpr char kUnitFileName[] = "OrbitraceService.service";

// Text of the unit that runs `executable` with `run --program-dir programDir`.
std::string BuildUnitFile(const std::string& executable, const std::string& programDir);

// Quotes one word for a unit file's ExecStart= or path setting.
std::string QuoteUnitWord(const std::string& word);

}  // namespace orbitrace
