#include "UI/StringsFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "Platform/FileReading.h"
#include "Platform/Utf8.h"

namespace cw::ui {
namespace {

constexpr char32_t kReplacementCharacter = 0xFFFD;

void appendUtf8(std::string& out, char32_t c) {
  if (c == 0 || (c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) c = kReplacementCharacter;
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

bool isHighSurrogate(char32_t c) {
  return c >= 0xD800 && c <= 0xDBFF;
}
bool isLowSurrogate(char32_t c) {
  return c >= 0xDC00 && c <= 0xDFFF;
}

// UTF-16 after its byte-order mark; absent on an odd length or a broken pair.
std::optional<std::string> utf16ToUtf8(std::string_view bytes, bool bigEndian) {
  if (bytes.size() % 2 != 0) return std::nullopt;
  auto unitAt = [&](std::size_t i) -> char32_t {
    const auto a = static_cast<unsigned char>(bytes[i]);
    const auto b = static_cast<unsigned char>(bytes[i + 1]);
    return bigEndian ? (char32_t{a} << 8 | b) : (char32_t{b} << 8 | a);
  };
  std::string out;
  for (std::size_t i = 0; i < bytes.size(); i += 2) {
    char32_t c = unitAt(i);
    if (isHighSurrogate(c)) {
      if (i + 3 >= bytes.size()) return std::nullopt;
      const char32_t low = unitAt(i + 2);
      if (!isLowSurrogate(low)) return std::nullopt;
      c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
      i += 2;
    } else if (isLowSurrogate(c)) {
      return std::nullopt;
    }
    if (c == 0) return std::nullopt;
    appendUtf8(out, c);
  }
  return out;
}

class Parser {
public:
  explicit Parser(std::string_view text) : text_(text) {}

  std::optional<StringTable> parse() {
    StringTable table;
    for (;;) {
      if (!skipBlanksAndComments()) return std::nullopt;
      if (atEnd()) return table;
      std::optional<std::string> key = token();
      if (!key || !skipBlanksAndComments() || atEnd()) return std::nullopt;
      std::string value;
      if (peek() == ';') {
        value = *key;
      } else if (peek() == '=') {
        ++pos_;
        if (!skipBlanksAndComments()) return std::nullopt;
        std::optional<std::string> v = token();
        if (!v || !skipBlanksAndComments() || atEnd() || peek() != ';') return std::nullopt;
        value = std::move(*v);
      } else {
        return std::nullopt;
      }
      ++pos_;  // the ';'
      table.insert_or_assign(std::move(*key), std::move(value));
    }
  }

private:
  bool atEnd() const { return pos_ >= text_.size(); }
  char peek() const { return text_[pos_]; }

  // false on a comment that never ends.
  bool skipBlanksAndComments() {
    while (!atEnd()) {
      const char c = peek();
      if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v') {
        ++pos_;
      } else if (text_.substr(pos_, 2) == "/*") {
        const std::size_t end = text_.find("*/", pos_ + 2);
        if (end == std::string_view::npos) return false;
        pos_ = end + 2;
      } else if (text_.substr(pos_, 2) == "//") {
        const std::size_t end = text_.find('\n', pos_);
        pos_ = end == std::string_view::npos ? text_.size() : end + 1;
      } else {
        return true;
      }
    }
    return true;
  }

  static bool isBareWordCharacter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '.' ||
           c == '-' || c == '$' || c == ':' || c == '/';
  }

  std::optional<std::string> token() {
    if (atEnd()) return std::nullopt;
    if (peek() == '"') return quoted();
    const std::size_t start = pos_;
    // A "/" that opens a comment ends the word.
    while (!atEnd() && isBareWordCharacter(peek()) && text_.substr(pos_, 2) != "/*" && text_.substr(pos_, 2) != "//")
      ++pos_;
    if (pos_ == start) return std::nullopt;
    return std::string(text_.substr(start, pos_ - start));
  }

  std::optional<char32_t> hexUnit() {
    if (pos_ + 4 > text_.size()) return std::nullopt;
    char32_t value = 0;
    for (int i = 0; i < 4; ++i) {
      const char c = text_[pos_++];
      value <<= 4;
      if (c >= '0' && c <= '9')
        value |= static_cast<char32_t>(c - '0');
      else if (c >= 'a' && c <= 'f')
        value |= static_cast<char32_t>(c - 'a' + 10);
      else if (c >= 'A' && c <= 'F')
        value |= static_cast<char32_t>(c - 'A' + 10);
      else
        return std::nullopt;
    }
    return value;
  }

  std::optional<std::string> quoted() {
    ++pos_;  // the opening quote
    std::string out;
    while (!atEnd()) {
      const char c = text_[pos_++];
      if (c == '"') return out;
      if (c != '\\') {
        out += c;
        continue;
      }
      if (atEnd()) return std::nullopt;
      const char e = text_[pos_++];
      switch (e) {
        case 'n':
          out += '\n';
          break;
        case 't':
          out += '\t';
          break;
        case 'r':
          out += '\r';
          break;
        case 'U':
        case 'u': {
          std::optional<char32_t> unit = hexUnit();
          if (!unit) return std::nullopt;
          char32_t c32 = *unit;
          // A high surrogate joins the low one escaped right after it.
          if (isHighSurrogate(c32) && pos_ + 1 < text_.size() && text_[pos_] == '\\' &&
              (text_[pos_ + 1] == 'U' || text_[pos_ + 1] == 'u')) {
            const std::size_t save = pos_;
            pos_ += 2;
            const std::optional<char32_t> low = hexUnit();
            if (low && isLowSurrogate(*low))
              c32 = 0x10000 + ((c32 - 0xD800) << 10) + (*low - 0xDC00);
            else
              pos_ = save;
          }
          appendUtf8(out, c32);
          break;
        }
        default:
          out += e;
          break;  // \" \\ \' and any other: the character itself
      }
    }
    return std::nullopt;  // no closing quote
  }

  std::string_view text_;
  std::size_t pos_ = 0;
};

}  // namespace

std::optional<StringTable> parseStringsTable(std::string_view text) {
  std::optional<std::string> converted;
  if (text.starts_with("\xEF\xBB\xBF")) {
    text.remove_prefix(3);
  } else if (text.starts_with("\xFF\xFE") || text.starts_with("\xFE\xFF")) {
    converted = utf16ToUtf8(text.substr(2), text[0] == '\xFE');
    if (!converted) return std::nullopt;
    text = *converted;
  }
  if (!isValidUtf8(text) || text.find('\0') != std::string_view::npos) return std::nullopt;
  return Parser(text).parse();
}

std::optional<StringTable> readStringsFile(const std::string& path) {
  const FileReadResult file = readRegularFile(path, kMaxStringsFileSize);
  if (file.status != FileReadStatus::Ok) return std::nullopt;
  return parseStringsTable(file.bytes);
}

}  // namespace cw::ui
