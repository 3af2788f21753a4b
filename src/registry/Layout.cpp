#include "registry/Layout.h"

#include <cstdio>
#include <unordered_map>

namespace orbitrace {

namespace {

// Lines are gathered and written in blocks of about this size.
constexpr size_t kListWriteBlock = 64 * 1024;

struct FileIdHash {
  size_t operator()(const FileId& id) const {
    return std::hash<uint64_t>()(id.inode * 31 + id.device);
  }
};

using VisitedFolders = std::unordered_map<FileId, int, FileIdHash>;

void Walk(const std::string& root, const std::string& subfolder, int depth, VisitedFolders& visited,
          const std::function<void(const std::string&, const std::string&)>& onFile) {
  const std::string folder = root + subfolder;
  FileId id;
  if (GetFileId(folder, id)) {
    const auto [it, inserted] = visited.try_emplace(id, depth);
    if (!inserted) {
      // Seen before at this level or above: everything below was (or is being) read from there.
      if (it->second <= depth) return;
      it->second = depth;
    }
  }
  for (const DirEntry& e : ListDirectory(folder)) {
    if (e.isDir) {
      if (!e.name.empty() && e.name[0] != '.' && depth < kMaxScanDepth) {
        Walk(root, subfolder + e.name + "/", depth + 1, visited, onFile);
      }
      continue;
    }
    onFile(subfolder, e.name);
  }
}

}  // namespace

void DeleteStaleListFiles(const std::string& programDir) {
  for (const char* name :
       {"Devices.txt", "DevReplace.txt", "Dispatcher.txt", "DispPasswords.txt", "Redirect.txt"}) {
    const std::string path = programDir + "/" + name;
    if (FileExists(path)) DeleteFile(path);
  }
}

bool ValidSerial(uint32_t serial) {
  return serial >= 1 && serial <= kMaxSerial;
}

std::string DeviceFolder(const std::string& dataFolder, uint32_t serial) {
  // No folder for a serial out of range, nor for an empty data folder (which would put device
  // folders at the root of the file system).
  const std::string root = ExcludeTrailingSlashes(dataFolder);
  if (!ValidSerial(serial) || root.empty()) return std::string();
  char name[16];
  std::snprintf(name, sizeof name, "/%07u", serial);
  return (root == "/" ? std::string() : root) + name;
}

std::string DeviceFileName(uint32_t serial, const Date& date, std::string_view extension) {
  char name[32];
  std::snprintf(name, sizeof name, "%07u-%02u%02u%02u.", serial,
                static_cast<unsigned>(date.year % 100), static_cast<unsigned>(date.month),
                static_cast<unsigned>(date.day));
  return std::string(name).append(extension);
}

std::string DeviceFilePath(const std::string& dataFolder, uint32_t serial, const Date& date,
                           std::string_view extension) {
  const std::string folder = DeviceFolder(dataFolder, serial);
  if (folder.empty()) return folder;
  return folder + "/" + DeviceFileName(serial, date, extension);
}

bool TListFileWriter::Open(const std::string& path) {
  buffer_.clear();
  failed_ = false;
  if (FileExists(path) && IsReadOnly(path)) SetReadOnly(path, false);
  if (!file_.Open(path, Access::Write, Share::Read, Disposition::CreateAlways)) {
    failed_ = true;
    return false;
  }
  return true;
}

void TListFileWriter::WriteLine(std::string_view line) {
  if (failed_) return;
  buffer_.append(line);
  if (buffer_.size() >= kListWriteBlock) Flush();
}

void TListFileWriter::Flush() {
  if (!failed_ && !buffer_.empty() && !file_.Write(buffer_)) failed_ = true;
  buffer_.clear();
}

void TListFileWriter::Close() {
  Flush();
  file_.Close();
  failed_ = true;
}

void WalkSourceTree(
    const std::string& root, const std::string& subfolder,
    const std::function<void(const std::string& subfolder, const std::string& name)>& onFile) {
  VisitedFolders visited;
  std::string base = root;
  if (base.empty() || base.back() != '/') base.push_back('/');
  Walk(base, subfolder, 0, visited, onFile);
}

}  // namespace orbitrace
