#include "dispatcher/DispChecks.h"

#include <algorithm>
#include <cstring>
#include <exception>

#include "dispatcher/WireFormat.h"
#include "platform/FileSystem.h"
#include "registry/DispPasswords.h"
#include "registry/FileHeadCache.h"

namespace orbitrace {

namespace {

constexpr char kPasswordFile[] = "password.txt";
constexpr char kLastPositionFile[] = "lastposition.bin";

// Billing keeps no list of allowed devices: whenever it is switched on it refuses every one.
bool BillingAllows(uint32_t) {
  return false;
}

bool ServedOrLog(const DispEnv& env, uint32_t serial) {
  if (env.context.registry.IsDeviceServed(serial)) return true;
  env.Logf(kLevelERR, "Прибор %d не обслуживается", static_cast<int>(serial));
  return false;
}

// The lastposition.bin files already read: a dispatcher asks for the same devices' positions
// again and again, and a file that keeps its version is answered from the bytes it gave.
TFileHeadCache& PositionFiles() {
  static TFileHeadCache* cache = new TFileHeadCache;  // used by connection threads until the end
  return *cache;
}

// The device folder of `serial` when it exists, else "".
std::string ExistingDeviceFolder(const DispEnv& env, uint32_t serial) {
  std::string folder = env.DeviceFolder(serial);
  if (folder.empty() || !DirectoryExists(folder)) return std::string();
  return folder;
}

}  // namespace

bool PasswordMatches(const DispEnv& env, const std::string& folder, uint32_t serial,
                     const std::array<char, 8>& password, MissingPassword missing) {
  if (const auto listed = env.context.registry.FindDispPassword(serial)) {
    if (*listed == password) return true;
    // A device without a folder is refused without a line (the last-position check comes here
    // without having looked at the folder).
    if (!DirectoryExists(folder)) return false;
    env.Logf(kLevelERR, "Прибор %d неверный пароль (FLD)", static_cast<int>(serial));
    return false;
  }
  std::array<char, 8> stored{};  // eight zero bytes until the file is read
  std::array<char, 9> bytes{};
  switch (ReadPasswordFile(JoinPath(folder, kPasswordFile), bytes)) {
    case PasswordFile::Read:
      std::copy_n(bytes.begin(), stored.size(), stored.begin());
      break;
    case PasswordFile::Unreadable:
      // The file is there but cannot be read now (locked by a writer, no descriptors left): no
      // password is known, and the element is refused rather than compared with zero bytes.
      return false;
    case PasswordFile::Missing:
      if (missing == MissingPassword::Refuse) return false;
      break;
  }
  if (stored == password) return true;
  env.Logf(kLevelERR, "Прибор %d неверный пароль (DEV)", static_cast<int>(serial));
  return false;
}

bool CheckDevFilesRequest(const DispEnv& env, TDevFilesRequest& record, uint16_t type) {
  try {
    const std::string folder = ExistingDeviceFolder(env, record.serial);
    if (folder.empty()) return false;
    if (!PasswordMatches(env, folder, record.serial, record.password,
                         MissingPassword::CompareWithZeros))
      return false;
    if (!FindDevFile(env, folder, record, type)) {
      env.Logf(kLevelINF, "Прибор %d файлов не найдено", static_cast<int>(record.serial));
      return false;
    }
    return true;
  } catch (const std::exception& e) {
    env.LogException("CheckDevFilesRequest.", e.what());
    return false;
  }
}

bool BillingGate(const DispEnv& env, uint32_t serial) {
  if (!env.settings.EnableBilling) return true;
  if (BillingAllows(serial)) return true;
  env.Logf(kLevelERR, "Прибор %d отключен системой биллинга", static_cast<int>(serial));
  return false;
}

bool CheckLastPositionRequest(const DispEnv& env, TGetLastPosRequest& record) {
  try {
    if (!ServedOrLog(env, record.serial)) return false;
    if (env.settings.EnableBilling && !BillingGate(env, record.serial)) return false;
    // No look at the folder here: without it password.txt is missing (refused without a line),
    // a listed password's mismatch is checked against it, and lastposition.bin does not open.
    const std::string folder = env.DeviceFolder(record.serial);
    if (folder.empty()) return false;
    if (!PasswordMatches(env, folder, record.serial, record.password, MissingPassword::Refuse))
      return false;
    TFileHead head;
    if (PositionFiles().Read(JoinPath(folder, kLastPositionFile), head) != FileHeadResult::Read ||
        head.size < record.position.size())
      return false;
    std::memcpy(record.position.data(), head.bytes.data(), record.position.size());
    return GetU32(record.position.data()) != 0;
  } catch (const std::exception& e) {
    env.LogException("CheckLastPositionRequest.", e.what());
    return false;
  }
}

bool CheckSetRouteRequest(const DispEnv& env, const TSetRouteRequest& record) {
  try {
    if (!ServedOrLog(env, record.serial)) return false;
    const std::string folder = ExistingDeviceFolder(env, record.serial);
    if (folder.empty()) return false;
    return PasswordMatches(env, folder, record.serial, record.password, MissingPassword::Refuse);
  } catch (const std::exception& e) {
    env.LogException("CheckSetRouteRequest.", e.what());
    return false;
  }
}

}  // namespace orbitrace
