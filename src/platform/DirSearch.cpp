#include "platform/DirSearch.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

namespace orbitrace {

std::vector<FoundFile> FindFiles(const std::string& folder,
                                 const std::function<bool(std::string_view name)>& accept) {
  std::vector<FoundFile> out;
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) return out;
  const int dfd = dirfd(dir);
  while (const dirent* e = readdir(dir)) {
    const std::string_view name(e->d_name);
    if (name == "." || name == ".." || !accept(name)) continue;
    struct stat st {};
    if (fstatat(dfd, e->d_name, &st, 0) != 0 || !S_ISREG(st.st_mode)) continue;
    out.push_back(FoundFile{std::string(name), static_cast<uint64_t>(st.st_size)});
  }
  closedir(dir);
  return out;
}

}  // namespace orbitrace
