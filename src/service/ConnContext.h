// What every connection thread shares beyond its socket, the log writer and the settings. The
// service owns one instance for the life of the process and the listeners hand it to each
// connection thread they start; a test builds its own.
//
// The device registry (served devices, dispatcher and device passwords, replacements) is reached
// through this object: the registry joins it as a member, so a connection handler calls its
// lookups as context.<member>.<lookup>(...) and a test can hand in a registry built on its own,
// without changing the connection classes' constructors.
#pragma once

#include "platform/Clock.h"

namespace orbitrace {

struct TConnContext {
  explicit TConnContext(const Clock& c) : clock(c) {}
  TConnContext(const TConnContext&) = delete;
  TConnContext& operator=(const TConnContext&) = delete;

  // Time source of the connections (dates, tick counts).
  const Clock& clock;
};

}  // namespace orbitrace
