#include "dispatcher/DevFileSearch.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <exception>
#include <vector>

#include "platform/DirSearch.h"
#include "platform/FileSystem.h"

namespace orbitrace {

namespace {

constexpr char kStandByKind[] = "sbin";

int64_t DayNumber(const Date& d) {
  return DaysSinceOleEpoch(d);
}

struct Candidate {
  const FoundFile* file = nullptr;
  int64_t day = 0;
};

// Keeps the earlier of two candidates; on the same day the smaller name, so that the choice
// never depends on the order the folder lists its entries in.
void KeepEarliest(Candidate& best, const FoundFile& file, int64_t day) {
  if (best.file == nullptr || day < best.day || (day == best.day && file.name < best.file->name))
    best = Candidate{&file, day};
}

void SetFileName(TDevFilesRequest& record, const std::string& name) {
  record.fileName.fill('\0');
  std::memcpy(record.fileName.data(), name.data(),
              std::min(name.size(), record.fileName.size() - 1));
}

}  // namespace

void TDevFilesRequest::SetKind(std::string_view k) {
  kind.fill('\0');
  std::memcpy(kind.data(), k.data(), std::min(k.size(), kind.size() - 1));
}

std::optional<Date> ParseRequestDate(const std::array<char, 6>& date) {
  if (std::string_view(date.data(), date.size()) == "??????") return std::nullopt;
  char text[7] = {};
  std::memcpy(text, date.data(), date.size());
  unsigned day = 0, month = 0, year = 0;
  if (std::sscanf(text, "%2u%2u%2u", &day, &month, &year) != 3) return std::nullopt;
  if (day > 31 || month > 12 || year > 99) return std::nullopt;
  const int y = 2000 + static_cast<int>(year);
  if (!IsValidDate(y, static_cast<int>(month), static_cast<int>(day))) return std::nullopt;
  return Date{y, static_cast<int>(month), static_cast<int>(day)};
}

std::optional<Date> ConvertOnlineFileText(const std::string& name, std::string_view kind) {
  unsigned serial = 0, year = 0, month = 0, day = 0;
  char ext[6] = {};
  if (std::sscanf(name.c_str(), "%7u-%2u%2u%2u.%5s", &serial, &year, &month, &day, ext) != 5)
    return std::nullopt;
  if (!EqualsNoCase(ext, kind)) return std::nullopt;
  if (day > 31 || month > 12 || year > 99) return std::nullopt;
  const int y = 2000 + static_cast<int>(year);
  if (!IsValidDate(y, static_cast<int>(month), static_cast<int>(day))) return std::nullopt;
  return Date{y, static_cast<int>(month), static_cast<int>(day)};
}

bool MatchesDevFilePattern(std::string_view name, uint32_t serial, std::string_view kind) {
  // "SSSSSSS-" + six characters + "." + kind
  if (name.size() != 15 + kind.size()) return false;
  char prefix[16];
  std::snprintf(prefix, sizeof prefix, "%07u-", serial);
  if (name.substr(0, 8) != prefix) return false;
  return name[14] == '.' && EqualsNoCase(name.substr(15), kind);
}

bool FindDevFile(const DispEnv& env, const std::string& folder, TDevFilesRequest& record,
                 uint16_t type) {
  try {
    const std::optional<Date> requested = ParseRequestDate(record.date);
    const uint32_t serial = record.serial;
    auto search = [&](std::string_view kind) {
      return FindFiles(
          folder, [&](std::string_view name) { return MatchesDevFilePattern(name, serial, kind); });
    };
    std::vector<FoundFile> entries = search(record.Kind());
    // Stand-by files serve data requests only when the device has no data file at all.
    if (entries.empty() && (type == 1 || type == 2)) {
      entries = search(kStandByKind);
      if (!entries.empty()) {
        record.standBy = 1;
        record.SetKind(kStandByKind);
      }
    }

    struct Dated {
      const FoundFile* file;
      Date date;
      int64_t day;
    };
    std::vector<Dated> qualifying;
    qualifying.reserve(entries.size());
    for (const FoundFile& f : entries) {
      if (const std::optional<Date> d = ConvertOnlineFileText(f.name, record.Kind()))
        qualifying.push_back(Dated{&f, *d, DayNumber(*d)});
    }

    const bool anyDate = !requested.has_value();
    const int64_t requestedDay = anyDate ? 0 : DayNumber(*requested);
    Candidate first;  // earliest on or after the requested date
    Candidate next;   // earliest after it
    Date nextDate;
    for (const Dated& q : qualifying) {
      if (anyDate || q.day >= requestedDay) KeepEarliest(first, *q.file, q.day);
      if (anyDate || q.day > requestedDay) {
        const FoundFile* before = next.file;
        KeepEarliest(next, *q.file, q.day);
        if (next.file != before) nextDate = q.date;
      }
    }
    if (first.file == nullptr) return false;

    const auto moveToNext = [&] {
      char text[16];
      std::snprintf(text, sizeof text, "%02u%02u%02u", static_cast<unsigned>(nextDate.day),
                    static_cast<unsigned>(nextDate.month),
                    static_cast<unsigned>(nextDate.year % 100));
      std::memcpy(record.date.data(), text, record.date.size());
      record.startOffset = 0;
      record.endOffset = static_cast<uint32_t>(next.file->size);
      SetFileName(record, next.file->name);
      bool later = false;
      for (const Dated& q : qualifying) {
        if (q.day > next.day) {
          later = true;
          break;
        }
      }
      record.more = later ? 1 : 0;
    };

    if (!anyDate && first.day == requestedDay) {
      const uint32_t size = static_cast<uint32_t>(first.file->size);
      if (record.startOffset != size) {
        record.endOffset = size;
        record.more = next.file != nullptr ? 1 : 0;
        SetFileName(record, first.file->name);
        return true;
      }
      if (next.file == nullptr) return false;
      moveToNext();
      return true;
    }
    moveToNext();
    return true;
  } catch (const std::exception& e) {
    env.LogException("FindDevFile.", e.what());
    return false;
  }
}

}  // namespace orbitrace
