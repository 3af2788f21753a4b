// Searching a folder for files by name, with each file's size.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace orbitrace {

struct FoundFile {
  std::string name;
  uint64_t size = 0;
};

// The regular files of `folder` (links followed) whose names `accept` takes, in the order the
// folder lists them. Entries that vanish while the folder is read are left out; a folder that
// cannot be read gives no entries.
std::vector<FoundFile> FindFiles(const std::string& folder,
                                 const std::function<bool(std::string_view name)>& accept);

}  // namespace orbitrace
