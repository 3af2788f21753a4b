// Storing what WiFi devices upload: data records in weekly files with repeated records removed,
// configuration blocks, and files the device names itself. Each handler sends its own
// acknowledgement, or nothing when the data was not stored.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/Clock.h"
#include "wifi/WiFiProtocol.h"

namespace orbitrace {

// How many leading bytes of an upload the file already ends with. `tail` holds the file's last
// `n` bytes, where n is the smaller of the file size and the block length; the candidates are
// n, n - R, n - 2R, ... (n always, the others while at least R), the first match wins.
size_t RepeatOverlap(const unsigned char* tail, size_t n, const unsigned char* block,
                     size_t recordSize);

// A configuration record: u32 record length (block length + 12), the reception time as an OLE
// Automation date (f64), then the block.
std::string ConfigRecord(const unsigned char* block, size_t length, double oleTime);

// The file name a command-65 upload asks for, from the first 10 bytes of its data block:
// "%07u-" of `serial`, the name characters c4 c5 c2 c3 c0 c1, ".", the extension (up to 4
// bytes, ending at the first zero byte). Empty when the name could reach outside the device
// folder or holds bytes that have no place in a file name: separators, "..", control, blank
// or non-ASCII bytes, characters Windows forbids in names, or a zero byte among the name
// characters or followed by a non-zero byte in the extension.
std::string NamedFileName(uint32_t serial, const unsigned char* block);

// Commands 1, 2, 4, 5 and 6 from an accepted device: stores the block in the week's file of the
// target device and acknowledges it, or does nothing at all when it cannot be stored whole.
void ReceiveFile(const TWiFiEnv& env, const TWiFiRequest& request, const unsigned char* data,
                 uint32_t length);
// Command 65 from an accepted device: appends the content to the named file and answers
// "DATA_ACCEPT" or "DATA_REJECT".
void ReceiveNamedFile(const TWiFiEnv& env, const TWiFiRequest& request, const unsigned char* data,
                      uint32_t length);

}  // namespace orbitrace
