// Files and folders. Files are opened per operation with an explicit sharing mode, emulated
// with open file description locks that never block: a conflicting open simply fails.
//   Share::ReadWrite  - no lock at all.
//   Share::Read       - readers take a shared lock, writers an exclusive one.
//   Share::None       - an exclusive lock when writing, a shared lock when only reading.
// The "read-only attribute" is the owner write bit. Opening a read-only file for writing fails
// (also for root), so the behaviour does not depend on who runs the server.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace orbitrace {

enum class Access { Read, Write, ReadWrite };
enum class Share { None, Read, ReadWrite };
enum class Disposition {
  OpenExisting,  // fail when missing
  OpenAlways,    // create when missing
  CreateAlways,  // create or truncate
  CreateNew,     // fail when present
};

struct FileVersion;

class File {
 public:
  File() = default;
  ~File();
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  File(File&& other) noexcept;
  File& operator=(File&& other) noexcept;

  // Opens `path`; false (and errno set) when it cannot be opened or the sharing mode conflicts.
  bool Open(const std::string& path, Access access, Share share, Disposition disposition);
  bool IsOpen() const { return fd_ >= 0; }
  void Close();

  // Size of the open file, or -1.
  int64_t Size() const;
  // Moves to the end; the new position, or -1.
  int64_t SeekEnd();
  // Reads up to `n` bytes at the current position; bytes read or -1.
  int64_t Read(void* buf, size_t n);
  // Reads exactly `n` bytes at `pos`; false when fewer were available.
  bool ReadAt(int64_t pos, void* buf, size_t n);
  // Size of the file when it was opened (0 after CreateAlways). While the file is held with a
  // sharing mode that excludes other writers, this is where an append goes.
  int64_t SizeAtOpen() const { return sizeAtOpen_; }
  // Writes all `n` bytes at `pos`; false unless every byte was written.
  bool WriteAt(int64_t pos, const void* buf, size_t n);
  // Writes all `n` bytes at the current position; false unless every byte was written.
  bool Write(const void* buf, size_t n);
  bool Write(std::string_view s) { return Write(s.data(), s.size()); }
  bool Truncate(int64_t size);
  // Last-write time of the open file in Unix milliseconds, or 0.
  int64_t LastWriteMillis() const;
  // The version of the open file; false on failure.
  bool Version(FileVersion& version) const;

 private:
  int fd_ = -1;
  int64_t sizeAtOpen_ = 0;
};

struct DirEntry {
  std::string name;
  bool isDir = false;
  bool isSymlink = false;
};

bool FileExists(const std::string& path);  // a regular file (or a link to one)
bool DirectoryExists(const std::string& path);
// Creates one folder; true when created now.
bool CreateDir(const std::string& path);
// Creates a folder with every missing parent; true when the folder exists afterwards.
bool ForceDirectories(const std::string& path);
bool DeleteFile(const std::string& path);
// Lists a folder without "." and ".."; empty when it cannot be read.
std::vector<DirEntry> ListDirectory(const std::string& path);
// Reads a whole file (sharing read and write); false when it cannot be read.
bool ReadWholeFile(const std::string& path, std::string& out, size_t maxBytes = SIZE_MAX);

// Identity of the file or folder a path names (links followed): equal for two paths that reach
// the same object.
struct FileId {
  uint64_t device = 0;
  uint64_t inode = 0;
  bool operator==(const FileId&) const = default;
};
bool GetFileId(const std::string& path, FileId& id);

// What tells one state of a file's content from another: any write, truncation, replacement
// or attribute change gives a different value (the change time cannot be set back).
struct FileVersion {
  uint64_t device = 0;
  uint64_t inode = 0;
  int64_t size = 0;
  int64_t changeTimeNs = 0;
  int64_t modifyTimeNs = 0;
  bool operator==(const FileVersion&) const = default;
};
// The version of a regular file; false when there is none (missing, not a regular file).
bool GetFileVersion(const std::string& path, FileVersion& version);

// Sets the last-write time of a file to a Unix time in milliseconds (the change time becomes
// now, as with any attribute change). False on failure.
bool SetLastWriteMillis(const std::string& path, int64_t unixMillis);

bool IsReadOnly(const std::string& path);
// Sets or clears the read-only attribute; the other mode bits stay. False on failure.
bool SetReadOnly(const std::string& path, bool readOnly);

// Path helpers for '/'-separated paths.
std::string ExcludeTrailingSlashes(std::string path);  // a lone "/" stays
std::string ExtractFileDir(const std::string& path);   // folder part, without trailing slash
std::string ExtractFileName(const std::string& path);
std::string JoinPath(const std::string& dir, std::string_view name);

bool EqualsNoCase(std::string_view a, std::string_view b);
std::string ToLowerAscii(std::string_view s);

}  // namespace orbitrace

namespace orbitrace {
// `path` made absolute against the current folder (no links resolved); "" stays "".
std::string AbsolutePath(const std::string& path);
}  // namespace orbitrace
