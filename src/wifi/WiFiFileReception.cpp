#include "wifi/WiFiFileReception.h"

#include "registry/Layout.h"

#include <cstdio>
#include <cstring>
#include <memory>

#include "platform/FileSystem.h"
#include "wifi/WiFiBytes.h"

namespace orbitrace {

namespace {

constexpr size_t kConfigPrefixSize = 12;
constexpr size_t kNamedFilePrefixSize = 10;

struct FileKind {
  const char* extension;
  size_t recordSize;  // 0: stored without repeat removal
  bool config;
};

FileKind KindOf(uint8_t command) {
  switch (command) {
    case wcDataBin:
      return {"bin", 12, false};
    case wcDataSbinFramed:
    case wcDataSbin:
      return {"sbin", 16, false};
    default:  // wcConfig, wcConfigFramed
      return {"log", 0, true};
  }
}

// The serial whose device folder receives the upload; a replacement's folder is created here.
uint32_t TargetSerial(const TWiFiEnv& env, uint32_t serial) {
  const uint32_t target = env.context.registry.GetReplacement(serial);
  if (target != serial) {
    const std::string folder = DeviceFolder(env.settings.DataFolder, target);
    if (!folder.empty()) ForceDirectories(folder);
    env.Log(serial, kLevelINF, WiFiText("Заменяет прибор %u", target));
  }
  return target;
}

// Appends at the end of the file in one write. The file is held so that no other writer gets
// in, so its end is where it was when it was opened. A write that fails is taken back, so that
// the file never keeps a piece of an upload that was not acknowledged.
bool AppendAtEnd(File& file, const void* data, size_t size) {
  const int64_t end = file.SizeAtOpen();
  if (file.WriteAt(end, data, size)) return true;
  file.Truncate(end);
  return false;
}

bool AllowedNameByte(unsigned char b) {
  if (b <= 0x20 || b >= 0x7F) return false;
  return std::strchr("/\\:*?\"<>|", b) == nullptr;
}

}  // namespace

size_t RepeatOverlap(const unsigned char* tail, size_t n, const unsigned char* block,
                     size_t recordSize) {
  for (size_t k = n; k > 0; k -= recordSize) {
    if (std::memcmp(tail + (n - k), block, k) == 0) return k;
    if (k < 2 * recordSize) break;  // the next candidate would be below one record
  }
  return 0;
}

std::string ConfigRecord(const unsigned char* block, size_t length, double oleTime) {
  std::string record(kConfigPrefixSize, '\0');
  auto* p = reinterpret_cast<unsigned char*>(record.data());
  PutU32(p, static_cast<uint32_t>(length + kConfigPrefixSize));
  wifi::StoreF64(p + 4, oleTime);
  if (length > 0) record.append(reinterpret_cast<const char*>(block), length);
  return record;
}

std::string NamedFileName(uint32_t serial, const unsigned char* block) {
  static constexpr int kOrder[6] = {4, 5, 2, 3, 0, 1};
  char prefix[16];
  std::snprintf(prefix, sizeof prefix, "%07u-", serial);
  std::string name(prefix);
  for (int i : kOrder) {
    if (!AllowedNameByte(block[i])) return std::string();
    name.push_back(static_cast<char>(block[i]));
  }
  name.push_back('.');
  const unsigned char* ext = block + 6;
  size_t extLength = 0;
  while (extLength < 4 && ext[extLength] != 0) ++extLength;
  for (size_t i = extLength; i < 4; ++i) {
    if (ext[i] != 0) return std::string();  // a zero byte inside the extension
  }
  for (size_t i = 0; i < extLength; ++i) {
    if (!AllowedNameByte(ext[i])) return std::string();
    name.push_back(static_cast<char>(ext[i]));
  }
  if (name.find("..") != std::string::npos) return std::string();
  return name;
}

void ReceiveFile(const TWiFiEnv& env, const TWiFiRequest& request, const unsigned char* data,
                 uint32_t length) {
  const FileKind kind = KindOf(request.command);
  const uint32_t target = TargetSerial(env, request.serial);
  const std::string path = DeviceFilePath(env.settings.DataFolder, target,
                                          MondayOf(env.context.clock.Now()), kind.extension);
  if (path.empty()) return;  // a replacement serial that names no device folder
  File file;
  if (!file.Open(path, Access::ReadWrite, Share::Read, Disposition::OpenAlways)) {
    // A read-only week file is made writable (the other attributes stay) and opened again.
    if (!IsReadOnly(path) || !SetReadOnly(path, false) ||
        !file.Open(path, Access::ReadWrite, Share::Read, Disposition::OpenAlways)) {
      return;
    }
  }
  // The end of the file: its size, and where the upload is appended (the file is held so that
  // no other writer gets in).
  const int64_t end = file.SizeAtOpen();

  const unsigned char* part = data;
  size_t partLength = length;
  std::string record;
  if (kind.recordSize != 0) {
    if (length % kind.recordSize != 0) return;
    size_t overlap = 0;
    if (end > 0 && length > 0) {
      const size_t n = static_cast<size_t>(std::min<int64_t>(end, length));
      const std::unique_ptr<char[]> tail = AllocateBuffer(env.options, n);
      // A tail that cannot be read back cannot be compared: store nothing, acknowledge nothing.
      if (!tail || !file.ReadAt(end - static_cast<int64_t>(n), tail.get(), n)) return;
      overlap = RepeatOverlap(wifi::Bytes(tail.get()), n, data, kind.recordSize);
    }
    part = data + overlap;
    partLength = length - overlap;
  } else if (request.command == wcConfig) {
    record = ConfigRecord(data, length, ToOleDateTime(env.context.clock.Now()));
    part = wifi::Bytes(record.data());
    partLength = record.size();
  }
  if (partLength > 0 && !file.WriteAt(end, part, partLength)) {
    file.Truncate(end);  // no piece of an unacknowledged upload stays behind
    return;
  }
  file.Close();

  if (kind.config) {
    env.Log(request.serial, kLevelINF, "Принят конфиг");
  } else {
    env.Log(request.serial, kLevelINF, WiFiText("Принято %d байт", static_cast<int>(partLength)));
  }
  switch (request.command) {
    case wcDataBin:
    case wcDataSbin:
      SendPlain(env, "DATA ACCEPT\r\n");
      break;
    case wcConfig:
      SendPlain(env, "CONF ACCEPT\r\n");
      break;
    case wcDataSbinFramed:
      SendFramed(env, request, "DATA_ACCEPT", true);
      break;
    case wcConfigFramed:
      SendFramed(env, request, "CONF_ACCEPT", true);
      break;
    default:
      break;
  }
}

void ReceiveNamedFile(const TWiFiEnv& env, const TWiFiRequest& request, const unsigned char* data,
                      uint32_t length) {
  auto reject = [&] {
    SendFramed(env, request, "DATA_REJECT", false);
    env.Log(request.serial, kLevelERR, "файл не принят");
  };
  if (length < kNamedFilePrefixSize) return reject();
  // The name is judged before anything is looked up or created.
  if (NamedFileName(request.serial, data).empty()) return reject();
  const uint32_t target = TargetSerial(env, request.serial);
  const std::string folder = DeviceFolder(env.settings.DataFolder, target);
  if (folder.empty()) return reject();
  const std::string path = JoinPath(folder, NamedFileName(target, data));
  const size_t contentLength = length - kNamedFilePrefixSize;
  File file;
  if (!file.Open(path, Access::Write, Share::Read, Disposition::OpenAlways)) return reject();
  const bool done = AppendAtEnd(file, data + kNamedFilePrefixSize, contentLength);
  file.Close();
  if (!done) return reject();
  env.Log(request.serial, kLevelINF, WiFiText("Принято %d байт", static_cast<int>(contentLength)));
  SendFramed(env, request, "DATA_ACCEPT", false);
}

}  // namespace orbitrace
