// The handlers of complete dispatcher requests: data and route files (types 1 to 4), last
// position (192) and set route (128). Each checks the request's element count and elements,
// runs the per-device checks, sends its one answer and tells whether it handled the request.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "dispatcher/DispChecks.h"
#include "dispatcher/DispEnv.h"
#include "platform/Clock.h"

namespace orbitrace {

// `request` holds `length` bytes, a complete request whose header has been checked.
bool DataRequest(const DispEnv& env, const uint8_t* request, uint32_t length,
                 const AnswerSender& send);
bool GetLastPosition(const DispEnv& env, const uint8_t* request, uint32_t length,
                     const AnswerSender& send);
bool RouteRecord(const DispEnv& env, const uint8_t* request, uint32_t length,
                 const AnswerSender& send);

// Appends one route record to the device's route file of the current week.
bool ProcessSetRouteRequest(const DispEnv& env, const TSetRouteRequest& record);
// "SSSSSSS-YYMMDD.route" for the week starting on `monday`.
std::string RouteFileName(uint32_t serial, const Date& monday);

// A coordinate word of a position record in millionths of a degree.
int32_t DecodeCoordinate(uint32_t word);
// Seconds from 2000-01-01 00:00:00 to the time of a position record (words 0 and 2); none
// when the fields do not form a real date and time.
std::optional<uint32_t> DecodePositionTime(uint32_t word0, uint32_t word2);

// The largest piece of one file a data answer carries: the answer limit less the header and
// one descriptor.
constexpr uint32_t kMaxFilePiece = 10485760 - 10 - 24;

}  // namespace orbitrace
