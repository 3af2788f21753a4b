// Where the registry and the device data live on disk: device folder and file names, the list
// files written for people to read, the waits on the lists' named mutexes, and the walk over the
// operator's source folders.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "platform/Clock.h"
#include "platform/FileSystem.h"
#include "platform/NamedMutex.h"

namespace orbitrace {

// Waits on the named mutexes of the lists, in milliseconds.
constexpr uint32_t kDeviceUpdateWaitMs = 1000;  // GSMEntUpdate, the device list update
constexpr uint32_t kDeviceSwapWaitMs = 1000;    // GSMEntList, putting a new list in place
constexpr uint32_t kDeviceLookupWaitMs = 2000;  // GSMEntList, IsDeviceServed
constexpr uint32_t kReplaceRebuildWaitMs = 1000;
constexpr uint32_t kReplaceClearWaitMs = 3000;
constexpr uint32_t kReplaceLookupWaitMs = 1000;
constexpr uint32_t kDispSwapWaitMs = 5000;
constexpr uint32_t kDispLookupWaitMs = 5000;
// Emptying the device list at service stop; lookups never hold the list longer than this.
constexpr uint32_t kDeviceClearWaitMs = 2000;

// A named mutex slot of the service; the mutex is created at service start, after the lists.
using MutexSlot = std::unique_ptr<NamedMutex>;

inline constexpr char kDevicesFile[] = "Devices.txt";
inline constexpr char kDispPasswordsFile[] = "DispPasswords.txt";
inline constexpr char kDevReplaceIniFile[] = "DevReplace.ini";
inline constexpr char kDevReplaceFile[] = "DevReplace.txt";
inline constexpr char kDevicePasswordFile[] = "password.txt";

// Deletes the list files an earlier run may have left in the program folder ("Devices.txt",
// "DevReplace.txt", "Dispatcher.txt", "DispPasswords.txt", "Redirect.txt", in that order).
void DeleteStaleListFiles(const std::string& programDir);

// Serial numbers that may name a device folder: 1 to 9,999,999.
inline constexpr uint32_t kMaxSerial = 9999999;
bool ValidSerial(uint32_t serial);

// `dataFolder` + "/%07u": the folder of a device (serial 5 gives ".../0000005"). Empty for a
// serial out of range or an empty data folder: such a serial never reaches a path.
std::string DeviceFolder(const std::string& dataFolder, uint32_t serial);
// "%07u-%02u%02u%02u.%s": a data or route file name of a device for a date (year modulo 100).
std::string DeviceFileName(uint32_t serial, const Date& date, std::string_view extension);
// The device folder followed by "/" and DeviceFileName (empty when there is no device folder).
std::string DeviceFilePath(const std::string& dataFolder, uint32_t serial, const Date& date,
                           std::string_view extension);

// Writer of a list file in the program folder: a read-only attribute is cleared first, the file
// is created anew, shared for reading only, and lines (each given with its CR LF) are written
// in order. Writing stops at the first failed write; nothing reports it.
class TListFileWriter {
 public:
  // False when the file cannot be created; then every line is dropped.
  bool Open(const std::string& path);
  void WriteLine(std::string_view line);
  // Writes what is buffered and closes the file.
  void Close();
  ~TListFileWriter() { Close(); }

 private:
  void Flush();
  File file_;
  std::string buffer_;
  bool failed_ = false;
};

// Deepest level of subfolders the source scans read: the root is level 0.
constexpr int kMaxScanDepth = 5;

// Walks `root` + `subfolder` and its subfolders down to level kMaxScanDepth below `root` in the
// order the listings return the entries, going into a folder where it is met. Folders whose
// name begins with a full stop are not entered. `onFile` gets the subfolder (relative to
// `root`, empty or ending in '/') and the name of every entry that is not a folder. A folder
// that is reached again through a link at the same or a deeper level is not walked again, so
// link loops end.
void WalkSourceTree(
    const std::string& root, const std::string& subfolder,
    const std::function<void(const std::string& subfolder, const std::string& name)>& onFile);

}  // namespace orbitrace
