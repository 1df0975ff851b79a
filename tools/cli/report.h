// Text shared by the commands: opening a recording with a plain message, naming the
// place of a fault, sizes for people and strings for JSON.
#ifndef QUILLBOX_TOOLS_CLI_REPORT_H_
#define QUILLBOX_TOOLS_CLI_REPORT_H_

#include <cstdint>
#include <memory>
#include <string>

#include "storage/recording.h"

namespace qbx::cli {

// The recording at `indexPath`, or null after telling on stderr why it cannot be read.
std::unique_ptr<Recording> OpenRecording(const std::string& indexPath);

// Prints "quillbox: " and the message on stderr.
void Complain(const std::string& message);

// The path of data file `file` as found, or as listed when it is missing.
std::string PathOf(const Recording& recording, std::uint32_t file);

// "data file 1 (PATH) offset 4096" or "index (PATH) offset 245".
std::string PlaceText(const Recording& recording, const FaultPlace& place);

// "12.3 MiB" and the like; bytes below 1 KiB exactly.
std::string HumanBytes(double bytes);

// A JSON string literal, quotes included.
std::string JsonString(const std::string& text);

}  // namespace qbx::cli

#endif  // QUILLBOX_TOOLS_CLI_REPORT_H_
