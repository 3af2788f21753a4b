#include "dispatcher/DispHandlers.h"

#include "registry/Layout.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <new>
#include <vector>

#include "dispatcher/DevFileSearch.h"
#include "dispatcher/DispProtocol.h"
#include "dispatcher/WireFormat.h"
#include "platform/FileSystem.h"

namespace orbitrace {

namespace {

constexpr uint32_t kPositionEntrySize = 20;
constexpr uint32_t kPositionHeaderSize = 8;
constexpr uint32_t kRouteEntrySize = 8;
constexpr uint32_t kRouteRecordSize = 12;

bool LengthMatches(uint32_t length, uint32_t count, uint32_t elementSize) {
  return static_cast<uint64_t>(length) ==
         static_cast<uint64_t>(elementSize) * count + kRequestHeaderSize;
}

// The element at `index` has the request type's size and names a possible serial number.
bool ElementWellFormed(const uint8_t* element, uint32_t elementSize) {
  return GetU32(element) == elementSize && ValidSerial(GetU32(element + 4));
}

void ReadPassword(const uint8_t* element, std::array<char, 8>& password) {
  std::memcpy(password.data(), element + 8, password.size());
}

uint32_t ByteCount(const TDevFilesRequest& r) {
  return r.endOffset > r.startOffset ? r.endOffset - r.startOffset : 0;
}

void PutDescriptor(uint8_t* p, const TDevFilesRequest& r) {
  PutU32(p, kDescriptorSize);
  PutU32(p + 4, r.serial);
  std::memcpy(p + 8, r.date.data(), r.date.size());
  PutU32(p + 14, r.startOffset);
  PutU32(p + 18, r.endOffset);
  PutU8(p + 22, r.more);
  PutU8(p + 23, r.standBy);
}

// Leaves out the records that would take a contents answer past the limit. A record left out
// marks the record kept before it (since the previous cut) as having more. A file piece larger
// than any answer can hold is shortened to the largest one and marked as having more, so that
// the client fetches such a file in several answers. Returns the answer length.
uint32_t CutToAnswerLimit(const DispEnv& env, std::vector<TDevFilesRequest>& records) {
  uint64_t running = kAnswerHeaderSize;
  size_t kept = 0;
  size_t lastKept = SIZE_MAX;
  for (size_t i = 0; i < records.size(); ++i) {
    TDevFilesRequest& r = records[i];
    if (ByteCount(r) > kMaxFilePiece) {
      r.endOffset = r.startOffset + kMaxFilePiece;
      r.more = 1;
    }
    const uint64_t need = kDescriptorSize + ByteCount(r);
    if (running + need > kMaxAnswerLength) {
      if (lastKept != SIZE_MAX) {
        records[lastKept].more = 1;
        lastKept = SIZE_MAX;
      }
      env.Logf(kLevelINF, "Ответ слишком большой. Прибор %d удален", static_cast<int>(r.serial));
      continue;
    }
    running += need;
    if (kept != i) records[kept] = r;
    lastKept = kept++;
  }
  records.resize(kept);
  return static_cast<uint32_t>(running);
}

// Reads every record's missing bytes into `out`, one file after the other; false as soon as a
// file does not open or gives fewer bytes than described.
bool ReadFilePieces(const DispEnv& env, const std::vector<TDevFilesRequest>& records,
                    uint8_t* out) {
  for (const TDevFilesRequest& r : records) {
    const uint32_t count = ByteCount(r);
    if (count == 0) continue;
    File f;
    if (!f.Open(JoinPath(env.DeviceFolder(r.serial), r.FileName()), Access::Read, Share::Read,
                Disposition::OpenExisting))
      return false;
    if (!f.ReadAt(r.startOffset, out, count)) return false;
    f.Close();
    out += count;
    env.Logf(kLevelINF, "Прибор %d отправлено %d б.", static_cast<int>(r.serial),
             static_cast<int>(count));
  }
  return true;
}

}  // namespace

bool DataRequest(const DispEnv& env, const uint8_t* request, uint32_t length,
                 const AnswerSender& send) {
  try {
    env.Log(kLevelINF, "Тип запроса - запрос данных.");
    const uint16_t type = GetU16(request + 4);
    const uint32_t count = GetU32(request + 6);
    const uint32_t elementSize = ElementSize(type);
    if (!LengthMatches(length, count, elementSize)) return false;
    const char* kind = type <= kReqDataFiles ? "bin" : "route";

    std::vector<TDevFilesRequest> records;
    for (uint32_t i = 0; i < count; ++i) {
      const uint8_t* e = request + kRequestHeaderSize + static_cast<size_t>(i) * elementSize;
      if (!ElementWellFormed(e, elementSize)) return false;
      TDevFilesRequest r;
      r.serial = GetU32(e + 4);
      ReadPassword(e, r.password);
      std::memcpy(r.date.data(), e + 16, r.date.size());
      r.SetKind(kind);
      r.startOffset = GetU32(e + 22);
      if (CheckDevFilesRequest(env, r, type) && BillingGate(env, r.serial)) {
        records.push_back(r);
        env.Logf(kLevelDVL, "Прибор %d запрос принят", static_cast<int>(r.serial));
      }
    }

    bool withBytes = type == kReqDataFiles || type == kReqRouteFiles;
    uint16_t answerType = type;
    uint32_t answerLength =
        withBytes ? CutToAnswerLimit(env, records)
                  : static_cast<uint32_t>(kAnswerHeaderSize + kDescriptorSize * records.size());
    const uint32_t tableLength =
        static_cast<uint32_t>(kAnswerHeaderSize + kDescriptorSize * records.size());

    std::unique_ptr<uint8_t[]> answer(new (std::nothrow) uint8_t[answerLength]);
    if (!answer && withBytes) {
      // Without room for the contents the descriptors still go out.
      withBytes = false;
      answerType = static_cast<uint16_t>(type - 1);
      answerLength = tableLength;
      answer.reset(new uint8_t[answerLength]);
    } else if (!answer) {
      throw std::bad_alloc();
    }

    PutU32(answer.get() + 6, static_cast<uint32_t>(records.size()));
    for (size_t i = 0; i < records.size(); ++i)
      PutDescriptor(answer.get() + kAnswerHeaderSize + i * kDescriptorSize, records[i]);

    bool handled = true;
    if (withBytes && !ReadFilePieces(env, records, answer.get() + tableLength)) {
      handled = false;
      answerType = static_cast<uint16_t>(type - 1);
      answerLength = tableLength;
    }
    PutU32(answer.get(), answerLength);
    PutU16(answer.get() + 4, answerType);
    send(answer.get(), answerLength);
    env.Logf(kLevelINF, "Отправлено %d б.", static_cast<int>(answerLength));
    return handled;
  } catch (const std::exception& e) {
    env.LogException("RecoveryRequest.", e.what());
    return false;
  }
}

int32_t DecodeCoordinate(uint32_t word) {
  const uint32_t magnitude = word & 0x7FFFFFF0u;
  // The magnitude goes through single precision on purpose: the answers have always carried
  // that rounding.
  const uint32_t a = static_cast<uint32_t>(static_cast<float>(magnitude));
  const uint32_t degrees = a / 10000000u;
  const uint32_t minutes = a % 10000000u;
  float x = static_cast<float>(static_cast<double>(minutes) * 0.00001 / 60.0 + degrees);
  if (word & 0x80000000u) x = -x;
  return static_cast<int32_t>(std::trunc(static_cast<double>(x) * 1000000.0));
}

std::optional<uint32_t> DecodePositionTime(uint32_t word0, uint32_t word2) {
  const uint32_t seconds = word0 & 0x1FFFFu;
  const int month = static_cast<int>((word0 >> 17) & 0xFu);
  const int day = static_cast<int>((word0 >> 21) & 0x1Fu);
  const int year = 2008 + static_cast<int>(word2 & 0xFu);
  if (seconds >= 86400 || !IsValidDate(year, month, day)) return std::nullopt;
  const int64_t days =
      DaysSinceOleEpoch(Date{year, month, day}) - DaysSinceOleEpoch(Date{2000, 1, 1});
  return static_cast<uint32_t>(days * 86400 + seconds);
}

bool GetLastPosition(const DispEnv& env, const uint8_t* request, uint32_t length,
                     const AnswerSender& send) {
  try {
    env.Log(kLevelINF, "Тип запроса - запрос последнего положения");
    const uint32_t count = GetU32(request + 6);
    const uint32_t elementSize = ElementSize(kReqLastPosition);
    if (!LengthMatches(length, count, elementSize)) return false;

    std::vector<TGetLastPosRequest> kept;
    for (uint32_t i = 0; i < count; ++i) {
      const uint8_t* e = request + kRequestHeaderSize + static_cast<size_t>(i) * elementSize;
      if (!ElementWellFormed(e, elementSize)) return false;
      TGetLastPosRequest r;
      r.serial = GetU32(e + 4);
      ReadPassword(e, r.password);
      if (CheckLastPositionRequest(env, r)) kept.push_back(r);
    }

    std::vector<uint8_t> answer(kPositionHeaderSize + kPositionEntrySize * kept.size());
    uint32_t entries = 0;
    for (const TGetLastPosRequest& r : kept) {
      const uint8_t* rec = r.position.data();
      const std::optional<uint32_t> time = DecodePositionTime(GetU32(rec), GetU32(rec + 8));
      if (!time) continue;
      uint8_t* p = answer.data() + kPositionHeaderSize + entries * kPositionEntrySize;
      PutU32(p, kPositionEntrySize);
      PutU32(p + 4, r.serial);
      PutI32(p + 8, DecodeCoordinate(GetU32(rec + 4)));
      PutI32(p + 12, DecodeCoordinate(GetU32(rec + 8)));
      PutU32(p + 16, *time);
      ++entries;
    }
    const uint32_t answerLength = kPositionHeaderSize + kPositionEntrySize * entries;
    PutU32(answer.data(), answerLength);
    PutU16(answer.data() + 4, static_cast<uint16_t>(entries));
    PutU16(answer.data() + 6, 0);
    send(answer.data(), answerLength);
    return true;
  } catch (const std::exception& e) {
    env.LogException("GetLastPosition.", e.what());
    return false;
  }
}

std::string RouteFileName(uint32_t serial, const Date& monday) {
  return DeviceFileName(serial, monday, "route");
}

bool ProcessSetRouteRequest(const DispEnv& env, const TSetRouteRequest& record) {
  try {
    const std::string folder = env.DeviceFolder(record.serial);
    if (folder.empty()) return false;
    if (!DirectoryExists(folder) && !CreateDir(folder) && !DirectoryExists(folder)) return false;

    const int64_t nowMillis = env.context.clock.UnixMillis();
    const Date monday = MondayOf(ToLocal(nowMillis));
    const std::string path = JoinPath(folder, RouteFileName(record.serial, monday));
    if (FileExists(path) && IsReadOnly(path)) SetReadOnly(path, false);

    File f;
    if (!f.Open(path, Access::ReadWrite, Share::Read, Disposition::OpenAlways)) return false;
    int64_t unixSeconds = nowMillis / 1000;
    if (nowMillis % 1000 < 0) --unixSeconds;
    uint8_t rec[kRouteRecordSize];
    PutU32(rec, static_cast<uint32_t>(SecondsSince2000(unixSeconds)));
    PutU32(rec + 4, record.route);
    PutU32(rec + 8, 0);
    if (f.SeekEnd() < 0) return false;
    return f.Write(rec, sizeof rec);
  } catch (const std::exception& e) {
    env.LogException("ProcessSetRouteRequest.", e.what());
    return false;
  }
}

bool RouteRecord(const DispEnv& env, const uint8_t* request, uint32_t length,
                 const AnswerSender& send) {
  try {
    env.Log(kLevelINF, "Тип запроса - постановка на маршрут");
    const uint32_t count = GetU32(request + 6);
    const uint32_t elementSize = ElementSize(kReqSetRoute);
    if (!LengthMatches(length, count, elementSize)) return false;

    std::vector<uint32_t> stored;
    for (uint32_t i = 0; i < count; ++i) {
      const uint8_t* e = request + kRequestHeaderSize + static_cast<size_t>(i) * elementSize;
      if (!ElementWellFormed(e, elementSize)) return false;
      TSetRouteRequest r;
      r.serial = GetU32(e + 4);
      ReadPassword(e, r.password);
      r.route = GetU32(e + 16);
      if (CheckSetRouteRequest(env, r) && ProcessSetRouteRequest(env, r))
        stored.push_back(r.serial);
    }

    const uint32_t answerLength =
        static_cast<uint32_t>(kAnswerHeaderSize + kRouteEntrySize * stored.size());
    std::vector<uint8_t> answer(answerLength);
    PutU32(answer.data(), answerLength);
    PutU16(answer.data() + 4, kReqSetRoute);
    PutU32(answer.data() + 6, static_cast<uint32_t>(stored.size()));
    for (size_t i = 0; i < stored.size(); ++i) {
      uint8_t* p = answer.data() + kAnswerHeaderSize + i * kRouteEntrySize;
      PutU32(p, kRouteEntrySize);
      PutU32(p + 4, stored[i]);
    }
    return send(answer.data(), answerLength);
  } catch (const std::exception& e) {
    env.LogException("RouteRecord.", e.what());
    return false;
  }
}

}  // namespace orbitrace
