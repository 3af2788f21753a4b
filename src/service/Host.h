// Program entry: the command line (run, install, uninstall, --help, --version) and the host
// that drives the service module's handlers in the order of its life cycle.
#pragma once

namespace orbitrace {

int ProgramMain(int argc, char** argv);

}  // namespace orbitrace
