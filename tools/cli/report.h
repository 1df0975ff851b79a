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

// Prints "quillbox: " and the message, Printable, on stderr.
void Complain(const std::string& message);

// The path of data file `file` as found, or as listed when it is missing.
std::string PathOf(const Recording& recording, std::uint32_t file);

// "data file 1 (PATH) offset 4096" or "index (PATH) offset 245", the path Printable.
std::string PlaceText(const Recording& recording, const FaultPlace& place);

// "12.3 MiB" and the like; bytes below 1 KiB exactly.
std::string HumanBytes(double bytes);

// A JSON string literal, quotes included. Names come from an index that may be
// damaged or foreign: control characters are escaped (\u00XX), and a byte that starts
// no valid UTF-8 sequence becomes U+FFFD, so that the output is always valid JSON.
std::string JsonString(const std::string& text);

// `text` for a terminal: control characters and bytes that start no valid UTF-8
// sequence shown as \xHH, the rest unchanged.
std::string Printable(const std::string& text);

// Flushes standard output and returns `code`; when the flush, or any write to standard
// output before it, failed, complains "Unable to write to standard output" and returns
// kExitCannotRead instead.
int FinishOutput(int code);

}  // namespace qbx::cli

#endif  // QUILLBOX_TOOLS_CLI_REPORT_H_
