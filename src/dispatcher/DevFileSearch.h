// Choosing the device file a data-request element is answered from: the file the client works
// on when it has grown, else the next later file of the device, else none.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "dispatcher/DispEnv.h"
#include "platform/Clock.h"

namespace orbitrace {

// One element of a data request together with the answer fields the search fills in.
struct TDevFilesRequest {
  uint32_t serial = 0;
  std::array<char, 8> password{};
  // DDMMYY of the file the client works on ("??????" for the earliest); replaced when the
  // answer moves to another file.
  std::array<char, 6> date{};
  // File extension of the request type, zero-terminated: "bin", "route", or "sbin" after the
  // stand-by switch.
  std::array<char, 6> kind{};
  uint32_t startOffset = 0;
  uint32_t endOffset = 0;
  uint8_t more = 0;
  uint8_t standBy = 0;
  // Name, inside the device folder, of the file the answer describes, as the folder spells it
  // (letter case of the extension included). Zero-terminated; set by FindDevFile.
  std::array<char, 24> fileName{};

  std::string_view Kind() const { return std::string_view(kind.data()); }
  std::string_view FileName() const { return std::string_view(fileName.data()); }
  void SetKind(std::string_view k);
};

// The day a requested date names: "??????" and anything that is not day, month and year-2000
// of a real date give none, which counts as earlier than every file.
std::optional<Date> ParseRequestDate(const std::array<char, 6>& date);

// The date in a device file name "SSSSSSS-YYMMDD.ext" when the extension is `kind` (letter case
// ignored) and the digits form a real date (years from 2000); none otherwise.
std::optional<Date> ConvertOnlineFileText(const std::string& name, std::string_view kind);

// Whether `name` is "<serial as seven digits>-??????.<kind>", letter case of the extension
// ignored.
bool MatchesDevFilePattern(std::string_view name, uint32_t serial, std::string_view kind);

// Fills in the answer fields of `record` for request type `type` from the files of `folder`;
// false when the device has nothing to serve.
bool FindDevFile(const DispEnv& env, const std::string& folder, TDevFilesRequest& record,
                 uint16_t type);

}  // namespace orbitrace
