#include "service/Host.h"

int main(int argc, char** argv) {
  return orbitrace::ProgramMain(argc, argv);
}
