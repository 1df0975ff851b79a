// Shared text of the commands.
#include "report.h"

#include <cstdio>
#include <iterator>

namespace qbx::cli {

std::unique_ptr<Recording> OpenRecording(const std::string& indexPath) {
  try {
    return std::make_unique<Recording>(indexPath);
  } catch (const std::exception& e) {
    Complain(e.what());
    return nullptr;
  }
}

void Complain(const std::string& message) {
  std::fflush(stdout);  // Keeps the order of the two streams on a terminal.
  std::fprintf(stderr, "quillbox: %s\n", message.c_str());
}

std::string PathOf(const Recording& recording, std::uint32_t file) {
  const RecordingFile& f = recording.files().at(file);
  return f.exists() ? f.path : f.listedName;
}

std::string PlaceText(const Recording& recording, const FaultPlace& place) {
  if (place.inIndex) {
    return "index (" + recording.indexPath() + ") offset " + std::to_string(place.offset);
  }
  return "data file " + std::to_string(place.file) + " (" + PathOf(recording, place.file) +
         ") offset " + std::to_string(place.offset);
}

std::string HumanBytes(double bytes) {
  static const char* const kUnits[] = {"KiB", "MiB", "GiB", "TiB", "PiB"};
  if (bytes < 1024) return std::to_string(static_cast<std::uint64_t>(bytes)) + " bytes";
  std::size_t unit = 0;
  for (bytes /= 1024; bytes >= 1024 && unit + 1 < std::size(kUnits); bytes /= 1024) ++unit;
  char text[32];
  std::snprintf(text, sizeof text, "%.1f %s", bytes, kUnits[unit]);
  return text;
}

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (byte < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
      out += escaped;
    } else {
      out += c;  // Paths are UTF-8, which JSON takes as it is.
    }
  }
  return out + "\"";
}

}  // namespace qbx::cli
