#include "platform/FileSystem.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace orbitrace {

File::~File() {
  Close();
}

File::File(File&& other) noexcept : fd_(other.fd_), sizeAtOpen_(other.sizeAtOpen_) {
  other.fd_ = -1;
}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    Close();
    fd_ = other.fd_;
    sizeAtOpen_ = other.sizeAtOpen_;
    other.fd_ = -1;
  }
  return *this;
}

bool File::Open(const std::string& path, Access access, Share share, Disposition disposition) {
  Close();
  int flags = O_CLOEXEC;
  switch (access) {
    case Access::Read:
      flags |= O_RDONLY;
      break;
    case Access::Write:
      flags |= O_WRONLY;
      break;
    case Access::ReadWrite:
      flags |= O_RDWR;
      break;
  }
  switch (disposition) {
    case Disposition::OpenExisting:
      break;
    case Disposition::OpenAlways:
    case Disposition::CreateAlways:
      flags |= O_CREAT;
      break;
    case Disposition::CreateNew:
      flags |= O_CREAT | O_EXCL;
      break;
  }
  const bool writing = access != Access::Read;
  const int fd = ::open(path.c_str(), flags, 0644);
  if (fd < 0) return false;
  struct stat st {};
  if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
    ::close(fd);
    errno = EISDIR;
    return false;
  }
  if (writing && S_ISREG(st.st_mode) && !(st.st_mode & S_IWUSR)) {
    // A read-only file refuses writers whoever runs the server (root ignores mode bits).
    // Nothing was written or truncated: the open above never truncates.
    ::close(fd);
    errno = EACCES;
    return false;
  }
  if (share != Share::ReadWrite) {
    struct flock lock {};
    lock.l_type = static_cast<short>(writing ? F_WRLCK : F_RDLCK);
    lock.l_whence = SEEK_SET;
    lock.l_start = 0;
    lock.l_len = 0;
    if (fcntl(fd, F_OFD_SETLK, &lock) != 0) {
      const int err = errno;
      ::close(fd);
      errno = (err == EAGAIN || err == EACCES) ? EBUSY : err;
      return false;
    }
  }
  sizeAtOpen_ = static_cast<int64_t>(st.st_size);
  if (disposition == Disposition::CreateAlways) {
    if (ftruncate(fd, 0) != 0) {
      const int err = errno;
      ::close(fd);
      errno = err;
      return false;
    }
    sizeAtOpen_ = 0;
  }
  fd_ = fd;
  return true;
}

void File::Close() {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

int64_t File::Size() const {
  struct stat st {};
  if (fd_ < 0 || fstat(fd_, &st) != 0) return -1;
  return st.st_size;
}

int64_t File::SeekEnd() {
  if (fd_ < 0) return -1;
  return lseek(fd_, 0, SEEK_END);
}

int64_t File::Read(void* buf, size_t n) {
  if (fd_ < 0) return -1;
  size_t done = 0;
  auto* p = static_cast<char*>(buf);
  while (done < n) {
    const ssize_t r = ::read(fd_, p + done, n - done);
    if (r < 0) {
      if (errno == EINTR) continue;
      return done > 0 ? static_cast<int64_t>(done) : -1;
    }
    if (r == 0) break;
    done += static_cast<size_t>(r);
  }
  return static_cast<int64_t>(done);
}

namespace {
// Repeats `step(offset, count)` (one read or write of the bytes from `offset`) until all `n`
// bytes are done; false on an error or when a step moves nothing.
template <typename Step>
bool TransferAll(size_t n, Step step) {
  size_t done = 0;
  while (done < n) {
    const ssize_t r = step(done, n - done);
    if (r < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (r == 0) return false;
    done += static_cast<size_t>(r);
  }
  return true;
}
}  // namespace

bool File::ReadAt(int64_t pos, void* buf, size_t n) {
  if (fd_ < 0 || pos < 0) return false;
  auto* p = static_cast<char*>(buf);
  return TransferAll(n, [&](size_t offset, size_t count) {
    return ::pread(fd_, p + offset, count, static_cast<off_t>(pos) + static_cast<off_t>(offset));
  });
}

bool File::Write(const void* buf, size_t n) {
  if (fd_ < 0) return false;
  const auto* p = static_cast<const char*>(buf);
  return TransferAll(n,
                     [&](size_t offset, size_t count) { return ::write(fd_, p + offset, count); });
}

bool File::WriteAt(int64_t pos, const void* buf, size_t n) {
  if (fd_ < 0 || pos < 0) return false;
  const auto* p = static_cast<const char*>(buf);
  return TransferAll(n, [&](size_t offset, size_t count) {
    return ::pwrite(fd_, p + offset, count, static_cast<off_t>(pos) + static_cast<off_t>(offset));
  });
}

bool File::Truncate(int64_t size) {
  return fd_ >= 0 && ftruncate(fd_, size) == 0;
}

int64_t File::LastWriteMillis() const {
  struct stat st {};
  if (fd_ < 0 || fstat(fd_, &st) != 0) return 0;
  return static_cast<int64_t>(st.st_mtim.tv_sec) * 1000 + st.st_mtim.tv_nsec / 1000000;
}

namespace {
FileVersion VersionOf(const struct stat& st) {
  FileVersion v;
  v.device = static_cast<uint64_t>(st.st_dev);
  v.inode = static_cast<uint64_t>(st.st_ino);
  v.size = static_cast<int64_t>(st.st_size);
  v.changeTimeNs = static_cast<int64_t>(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
  v.modifyTimeNs = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  return v;
}
}  // namespace

bool File::Version(FileVersion& version) const {
  struct stat st {};
  if (fd_ < 0 || fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) return false;
  version = VersionOf(st);
  return true;
}

bool GetFileVersion(const std::string& path, FileVersion& version) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  version = VersionOf(st);
  return true;
}

bool FileExists(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool DirectoryExists(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool CreateDir(const std::string& path) {
  return ::mkdir(path.c_str(), 0755) == 0;
}

bool ForceDirectories(const std::string& path) {
  const std::string p = ExcludeTrailingSlashes(path);
  if (p.empty()) return false;
  if (DirectoryExists(p)) return true;
  const std::string parent = ExtractFileDir(p);
  if (!parent.empty() && parent != p && !ForceDirectories(parent)) return false;
  return CreateDir(p) || DirectoryExists(p);
}

bool DeleteFile(const std::string& path) {
  return ::unlink(path.c_str()) == 0;
}

std::vector<DirEntry> ListDirectory(const std::string& path) {
  std::vector<DirEntry> out;
  DIR* dir = opendir(path.c_str());
  if (!dir) return out;
  while (dirent* e = readdir(dir)) {
    if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
    DirEntry entry;
    entry.name = e->d_name;
    unsigned char type = e->d_type;
    if (type == DT_UNKNOWN || type == DT_LNK) {
      struct stat lst {};
      const std::string full = JoinPath(path, entry.name);
      if (lstat(full.c_str(), &lst) == 0 && S_ISLNK(lst.st_mode)) entry.isSymlink = true;
      struct stat st {};
      if (stat(full.c_str(), &st) == 0) entry.isDir = S_ISDIR(st.st_mode);
    } else {
      entry.isDir = type == DT_DIR;
    }
    out.push_back(std::move(entry));
  }
  closedir(dir);
  return out;
}

bool ReadWholeFile(const std::string& path, std::string& out, size_t maxBytes) {
  out.clear();
  File f;
  if (!f.Open(path, Access::Read, Share::ReadWrite, Disposition::OpenExisting)) return false;
  char buf[65536];
  for (;;) {
    const size_t want = std::min(sizeof buf, maxBytes - out.size());
    if (want == 0) break;
    const int64_t r = f.Read(buf, want);
    if (r < 0) return false;
    if (r == 0) break;
    out.append(buf, static_cast<size_t>(r));
  }
  return true;
}

bool GetFileId(const std::string& path, FileId& id) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return false;
  id.device = static_cast<uint64_t>(st.st_dev);
  id.inode = static_cast<uint64_t>(st.st_ino);
  return true;
}

bool SetLastWriteMillis(const std::string& path, int64_t unixMillis) {
  timespec times[2]{};
  times[0].tv_nsec = UTIME_OMIT;  // the access time stays
  times[1].tv_sec = static_cast<time_t>(unixMillis / 1000);
  times[1].tv_nsec = static_cast<long>(unixMillis % 1000) * 1000000;
  if (times[1].tv_nsec < 0) {
    times[1].tv_sec -= 1;
    times[1].tv_nsec += 1000000000;
  }
  return utimensat(AT_FDCWD, path.c_str(), times, 0) == 0;
}

bool IsReadOnly(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && !(st.st_mode & S_IWUSR);
}

bool SetReadOnly(const std::string& path, bool readOnly) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return false;
  mode_t mode = st.st_mode & 07777;
  mode = readOnly ? (mode & ~static_cast<mode_t>(S_IWUSR)) : (mode | S_IWUSR);
  return chmod(path.c_str(), mode) == 0;
}

std::string ExcludeTrailingSlashes(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

std::string ExtractFileDir(const std::string& path) {
  const size_t pos = path.find_last_of('/');
  if (pos == std::string::npos) return std::string();
  if (pos == 0) return "/";
  return ExcludeTrailingSlashes(path.substr(0, pos));
}

std::string ExtractFileName(const std::string& path) {
  const size_t pos = path.find_last_of('/');
  return pos == std::string::npos ? path : path.substr(pos + 1);
}

std::string JoinPath(const std::string& dir, std::string_view name) {
  std::string out = dir;
  if (out.empty() || out.back() != '/') out.push_back('/');
  out.append(name);
  return out;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

std::string ToLowerAscii(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

}  // namespace orbitrace

namespace orbitrace {
std::string AbsolutePath(const std::string& path) {
  if (path.empty() || path.front() == '/') return path;
  char buf[4096];
  if (getcwd(buf, sizeof buf) == nullptr) return path;
  return JoinPath(buf, path);
}
}  // namespace orbitrace
