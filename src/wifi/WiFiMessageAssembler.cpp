#include "wifi/WiFiMessageAssembler.h"

#include <cstring>

#include "wifi/WiFiBytes.h"
#include "wifi/WiFiEpoDelivery.h"
#include "wifi/WiFiFileReception.h"

namespace orbitrace {

TWiFiMessageAssembler::TWiFiMessageAssembler(const TWiFiEnv& env) : env_(env) {
  ResetMessage();
}

void TWiFiMessageAssembler::ResetMessage() {
  expectedLength_ = 0;
  receivedLength_ = 0;
  serial_ = 0;
  data_.reset();
  password_.fill('\0');
}

bool TWiFiMessageAssembler::DeviceConnRead(const char* chunk, size_t length) {
  if (expectedLength_ > 0) {
    if (length > expectedLength_ - receivedLength_) {
      ResetMessage();
      return false;
    }
    std::memcpy(data_.get() + receivedLength_, chunk, length);
    receivedLength_ += static_cast<uint32_t>(length);
  } else {
    if (length >= 6 && std::memcmp(chunk, "FINISH", 6) == 0) return false;
    if (length < kWiFiHeaderSize) {
      env_.Log(0, kLevelDVL, "Принято меньше размера заголовка");
      return false;
    }
    if (!TakeHeader(wifi::Bytes(chunk), length)) return false;
  }
  if (receivedLength_ == expectedLength_) {
    Dispatch();
    ResetMessage();
  }
  return true;
}

bool TWiFiMessageAssembler::TakeHeader(const unsigned char* chunk, size_t length) {
  const TWiFiHeader header = ParseWiFiHeader(chunk);
  const auto command = static_cast<uint8_t>(header.command & 0xFF);
  if (header.headerLength == kWiFiHeaderSize) WiFiIdleLimit.store(IdleLimitForCommand(command));
  if (CheckWiFiHeader(header) != THeaderCheck::Ok) {
    env_.Log(0, kLevelDVL, "Ошибка в заголовке");
    return false;
  }
  const size_t carried = length - kWiFiHeaderSize;
  if (carried > header.totalLength - kWiFiHeaderSize) {
    ResetMessage();
    return false;
  }
  expectedLength_ = header.totalLength - static_cast<uint32_t>(kWiFiHeaderSize);
  serial_ = header.serial;
  command_ = static_cast<int8_t>(command);
  rejectReason_ = rrNone;

  IDeviceRegistry& registry = env_.context.registry;
  if (!registry.IsDeviceServed(serial_)) {
    env_.Log(serial_, kLevelDVL, "Прибор не обслуживается");
    rejectReason_ = rrNotServed;
  }
  std::memcpy(password_.data(), header.password.data(), header.password.size());
  password_[8] = '\0';
  if (!registry.CheckDevicePassword(serial_, header.password)) {
    env_.Log(serial_, kLevelDVL, "Неверный пароль");
    rejectReason_ = rrBadPassword;
  }
  if (rejectReason_ != rrNone && IsFileCommand(command)) {
    ResetMessage();
    return false;
  }
  if (expectedLength_ > 0) {
    data_ = AllocateBuffer(env_.options, expectedLength_);
    if (!data_) {
      env_.Log(
          serial_, kLevelERR,
          WiFiText("Нет памяти для сообщения %u байт", static_cast<unsigned>(expectedLength_)));
      ResetMessage();
      return false;
    }
    if (carried > 0) std::memcpy(data_.get(), chunk + kWiFiHeaderSize, carried);
  }
  receivedLength_ = static_cast<uint32_t>(carried);
  headerChecksum_ = header.checksum;
  return true;
}

void TWiFiMessageAssembler::Dispatch() {
  TWiFiRequest request;
  request.command = static_cast<uint8_t>(command_);
  request.serial = serial_;
  std::memcpy(request.password.data(), password_.data(), request.password.size());
  const unsigned char* data = wifi::Bytes(data_.get());
  uint32_t length = receivedLength_;
  if (!PassesChecksumRule(request.command, serial_, headerChecksum_, data, length)) return;

  const bool accepted = rejectReason_ == rrNone;
  if (accepted && IsFileCommand(request.command)) {
    ReceiveFile(env_, request, data, length);
    return;
  }
  switch (request.command) {
    case wcIdentify:
      if (accepted) {
        SendFramed(env_, request, "DEVICE_ACCEPT", false);
        env_.Log(serial_, kLevelINF, "Прием данных разрешен");
      } else {
        SendFramed(env_, request, "DEVICE_REJECT", false);
        env_.Log(serial_, kLevelINF, "Прием данных отклонен");
      }
      break;
    case wcNamedFile:
      if (accepted) {
        ReceiveNamedFile(env_, request, data, length);
      } else {
        SendFramed(env_, request, "DEVICE_REJECT", false);
        env_.Log(serial_, kLevelINF, "Прием данных отклонен");
      }
      break;
    case wcEpoRequest:
      if (accepted) DeliverEpo(env_, request);
      break;
    default:
      break;
  }
}

}  // namespace orbitrace
