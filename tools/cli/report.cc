// Shared text of the commands.
#include "report.h"

#include <cstdio>
#include <iterator>

#include "commands.h"

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
  std::fprintf(stderr, "quillbox: %s\n", Printable(message).c_str());
}

std::string PathOf(const Recording& recording, std::uint32_t file) {
  const RecordingFile& f = recording.files().at(file);
  return f.exists() ? f.path : f.listedName;
}

std::string PlaceText(const Recording& recording, const FaultPlace& place) {
  if (place.inIndex) {
    return "index (" + Printable(recording.indexPath()) + ") offset " +
           std::to_string(place.offset);
  }
  return "data file " + std::to_string(place.file) + " (" +
         Printable(PathOf(recording, place.file)) +
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

namespace {

// The length of the valid UTF-8 sequence at `at` of `text` (the shortest form of a
// code point up to U+10FFFF, no surrogate), or 0 when none starts there.
std::size_t Utf8Length(const std::string& text, std::size_t at) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[at + i]); };
  const unsigned char lead = byte(0);
  if (lead < 0x80) return 1;
  std::size_t length = 0;
  unsigned char low = 0x80, high = 0xbf;  // The range of the second byte.
  if (lead >= 0xc2 && lead <= 0xdf) {
    length = 2;
  } else if (lead >= 0xe0 && lead <= 0xef) {
    length = 3;
    if (lead == 0xe0) low = 0xa0;   // Overlong below U+0800.
    if (lead == 0xed) high = 0x9f;  // Surrogates.
  } else if (lead >= 0xf0 && lead <= 0xf4) {
    length = 4;
    if (lead == 0xf0) low = 0x90;   // Overlong below U+10000.
    if (lead == 0xf4) high = 0x8f;  // Beyond U+10FFFF.
  } else {
    return 0;
  }
  if (text.size() - at < length || byte(1) < low || byte(1) > high) return 0;
  for (std::size_t i = 2; i < length; ++i) {
    if (byte(i) < 0x80 || byte(i) > 0xbf) return 0;
  }
  return length;
}

// C0 controls and DEL; C1 controls (U+0080 to U+009F) are the two bytes C2 80 to C2 9F.
bool IsControl(const std::string& text, std::size_t at, std::size_t length) {
  const auto lead = static_cast<unsigned char>(text[at]);
  if (length == 1) return lead < 0x20 || lead == 0x7f;
  return length == 2 && lead == 0xc2 && static_cast<unsigned char>(text[at + 1]) < 0xa0;
}

// Copies `text`, handing each control character and each byte that starts no valid
// sequence to `replace` (with the sequence's length; 0 for such a byte) and every
// other character to `keep`.
template <typename Keep, typename Replace>
std::string Sanitized(const std::string& text, Keep keep, Replace replace) {
  std::string out;
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t length = Utf8Length(text, at);
    if (length == 0 || IsControl(text, at, length)) {
      replace(out, text, at, length);
    } else {
      keep(out, text, at, length);
    }
    at += length == 0 ? 1 : length;
  }
  return out;
}

}  // namespace

std::string JsonString(const std::string& text) {
  const auto keep = [](std::string& out, const std::string& in, std::size_t at,
                       std::size_t length) {
    if (in[at] == '"' || in[at] == '\\') out += '\\';
    out.append(in, at, length);
  };
  const auto replace = [](std::string& out, const std::string& in, std::size_t at,
                          std::size_t length) {
    if (length == 0) {
      out += "\\ufffd";
      return;
    }
    // A C0 control or DEL is its byte; a C1 control's code is its second byte.
    char escaped[8];
    std::snprintf(escaped, sizeof escaped, "\\u%04x",
                  static_cast<unsigned>(static_cast<unsigned char>(in[at + length - 1])));
    out += escaped;
  };
  std::string quoted = "\"";  // Appended, not concatenated: GCC 12 warns on the latter.
  quoted += Sanitized(text, keep, replace);
  quoted += '"';
  return quoted;
}

std::string Printable(const std::string& text) {
  const auto keep = [](std::string& out, const std::string& in, std::size_t at,
                       std::size_t length) { out.append(in, at, length); };
  const auto replace = [](std::string& out, const std::string& in, std::size_t at,
                          std::size_t length) {
    for (std::size_t i = 0; i < (length == 0 ? 1 : length); ++i) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02x",
                    static_cast<unsigned>(static_cast<unsigned char>(in[at + i])));
      out += escaped;
    }
  };
  return Sanitized(text, keep, replace);
}

int FinishOutput(int code) {
  if (std::fflush(stdout) == 0 && std::ferror(stdout) == 0) return code;
  Complain("Unable to write to standard output");
  return kExitCannotRead;
}

}  // namespace qbx::cli
