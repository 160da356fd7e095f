// Fuzzes cw::ui::parseStringsTable, the reader of the bundle's
// Localizable.strings tables that every dialog text comes from.
//
// Besides the sanitizers: every key and value read is valid UTF-8 without
// NUL, and a table read survives being written out again (quoted, with only
// '"' and '\' escaped) and read back, in UTF-8 with and without a byte-order
// mark and in UTF-16 of either byte order.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "Platform/Utf8.h"
#include "UI/StringsFile.h"

namespace {

using cw::ui::StringTable;

[[noreturn]] void fail(const char* what, std::string_view text) {
  std::fprintf(stderr, "strings oracle: %s\n[%.*s]\n", what, static_cast<int>(text.size()), text.data());
  std::abort();
}

void appendQuoted(std::string& out, std::string_view text) {
  out += '"';
  for (const char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  out += '"';
}

std::string written(const StringTable& table) {
  std::string out = "/* written back */\n";
  for (const auto& [key, value] : table) {
    appendQuoted(out, key);
    out += " = ";
    appendQuoted(out, value);
    out += ";\n";
  }
  return out;
}

// UTF-8 (already checked valid) to UTF-16 with a byte-order mark.
std::string utf16(std::string_view text, bool bigEndian) {
  std::string out = bigEndian ? "\xFE\xFF" : "\xFF\xFE";
  const auto unit = [&out, bigEndian](std::uint32_t u) {
    const char high = static_cast<char>(u >> 8), low = static_cast<char>(u & 0xFF);
    out += bigEndian ? high : low;
    out += bigEndian ? low : high;
  };
  for (std::size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    const int length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    std::uint32_t cp = length == 1 ? lead : length == 2 ? lead & 0x1F : length == 3 ? lead & 0x0F : lead & 0x07;
    const auto count = static_cast<std::size_t>(length);
    for (std::size_t k = 1; k < count; ++k) cp = (cp << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
    i += count;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      unit(0xD800 + (cp >> 10));
      unit(0xDC00 + (cp & 0x3FF));
    } else {
      unit(cp);
    }
  }
  return out;
}

void expectSame(const StringTable& table, std::string_view text, const char* form) {
  const std::optional<StringTable> again = cw::ui::parseStringsTable(text);
  if (!again) fail(form, text);
  if (*again != table) fail("a table changed on the way through text", text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::optional<StringTable> table = cw::ui::parseStringsTable(text);
  if (!table) return 0;

  for (const auto& [key, value] : *table) {
    for (const std::string_view part : {std::string_view(key), std::string_view(value)}) {
      if (!cw::isValidUtf8(part)) fail("a key or value is not valid UTF-8", part);
      if (part.find('\0') != std::string_view::npos) fail("a key or value holds NUL", part);
    }
  }

  const std::string back = written(*table);
  expectSame(*table, back, "a written table does not read back");
  expectSame(*table, "\xEF\xBB\xBF" + back, "a written table with a byte-order mark does not read back");
  expectSame(*table, utf16(back, false), "a written table in UTF-16LE does not read back");
  expectSame(*table, utf16(back, true), "a written table in UTF-16BE does not read back");
  return 0;
}
