#include "wifi/WiFiEpoDelivery.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "platform/FileSystem.h"
#include "wifi/WiFiBytes.h"

namespace orbitrace {

namespace {

// The file read afresh; empty when it is missing, unreadable or not exactly the right size.
std::string ReadEpoFile(const std::string& path) {
  std::string content;
  if (!FileExists(path)) return content;
  File file;
  if (!file.Open(path, Access::Read, Share::ReadWrite, Disposition::OpenExisting)) return content;
  if (file.Size() != kEpoFileSize) return content;
  content.resize(kEpoFileSize);
  if (file.Read(content.data(), content.size()) != static_cast<int64_t>(kEpoFileSize)) {
    content.clear();
  }
  return content;
}

}  // namespace

std::string EpoFilePath(const TSettings& settings) {
  return JoinPath(settings.ProgramDir, "agpsdata/MTK7d.EPO");
}

void DeliverEpo(const TWiFiEnv& env, const TWiFiRequest& request) {
  const std::string file = ReadEpoFile(EpoFilePath(env.settings));
  if (file.empty()) {
    SendFramed(env, request, "EMPTY", true);
    env.Log(request.serial, kLevelERR, "Ошибка отправки EPO файла - файл не найден");
    return;
  }
  // One buffer holds every outgoing chunk payload and the device's acknowledgements.
  std::string buffer(kEpoFileSize + kWiFiHeaderSize, '\0');
  uint32_t offset = 0;
  while (offset < kEpoFileSize) {
    const uint32_t length = std::min(kEpoChunkSize, kEpoFileSize - offset);
    std::string payload;
    payload.reserve(length + 8);
    wifi::AppendU32(payload, offset);
    wifi::AppendU32(payload, length);
    payload.append(file, offset, length);
    SendFramed(env, request, payload, true);

    if (env.link.WaitReadable(env.options.epoAckTimeoutMs) != PollResult::Ready) break;
    const long got = env.link.Receive(buffer.data(), kEpoFileSize);
    if (got != static_cast<long>(kEpoAckSize)) break;
    const auto* ack = wifi::Bytes(buffer.data());
    if (std::memcmp(ack, "EPOK", 4) == 0) {
      if (GetU32(ack + 4) != offset) break;
      offset += length;
    } else if (std::memcmp(ack, "CRCERROR", kEpoAckSize) != 0) {
      break;
    }
  }
  if (offset >= kEpoFileSize) {
    std::string end("END");
    wifi::AppendU32(end, kEpoFileSize);
    SendFramed(env, request, end, true);
  }
  env.Log(request.serial, kLevelINF, "Отправлен EPO файл");
}

}  // namespace orbitrace
