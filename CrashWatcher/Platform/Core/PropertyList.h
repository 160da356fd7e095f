#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "Platform/Object.h"

namespace cw {

class PlistValue;
using PlistArray = std::vector<PlistValue>;
using PlistDictionary = std::map<std::string, PlistValue, std::less<>>;
using PlistDate = std::chrono::system_clock::time_point;
struct PlistData {
  std::vector<std::uint8_t> bytes;
  bool operator==(const PlistData&) const = default;
};

// One value of an XML property list: string, integer, real, boolean, date,
// data, array or dictionary.
class PlistValue {
public:
  using Storage = std::variant<std::string, std::int64_t, double, bool, PlistDate, PlistData,
                               std::shared_ptr<PlistArray>, std::shared_ptr<PlistDictionary>>;

  PlistValue() : storage_(std::string()) {}
  PlistValue(std::string v) : storage_(std::move(v)) {}
  // A null C string gives the empty string rather than undefined behaviour.
  PlistValue(const char* v) : storage_(std::string(v ? v : "")) {}
  PlistValue(std::int64_t v) : storage_(v) {}
  PlistValue(int v) : storage_(std::int64_t{v}) {}
  PlistValue(unsigned v) : storage_(std::int64_t{v}) {}
  PlistValue(long long v) : storage_(static_cast<std::int64_t>(v)) {}
  PlistValue(double v) : storage_(v) {}
  PlistValue(bool v) : storage_(v) {}
  PlistValue(PlistDate v) : storage_(v) {}
  PlistValue(PlistData v) : storage_(std::move(v)) {}
  PlistValue(PlistArray v) : storage_(std::make_shared<PlistArray>(std::move(v))) {}
  PlistValue(PlistDictionary v) : storage_(std::make_shared<PlistDictionary>(std::move(v))) {}

  const Storage& storage() const { return storage_; }

  const std::string* asString() const { return std::get_if<std::string>(&storage_); }
  const std::int64_t* asInteger() const { return std::get_if<std::int64_t>(&storage_); }
  const double* asReal() const { return std::get_if<double>(&storage_); }
  const bool* asBool() const { return std::get_if<bool>(&storage_); }
  const PlistDate* asDate() const { return std::get_if<PlistDate>(&storage_); }
  const PlistData* asData() const { return std::get_if<PlistData>(&storage_); }
  const PlistArray* asArray() const;
  const PlistDictionary* asDictionary() const;

  // The platform's boolValue: true, non-zero numbers, and text beginning with
  // "Y", "y", "T", "t" or a non-zero digit (after blanks, an optional sign and zeros).
  bool boolValue() const;
  // The platform's floatValue: numbers give their value, text the number it
  // begins with (after blanks), else 0; everything else 0.
  float floatValue() const;
  // Text for "%@".
  std::string description() const;

  bool operator==(const PlistValue& other) const;

private:
  Storage storage_;
};

// Containers nested deeper than this are refused: hostile input must not
// exhaust the stack of the reader (or of the destructor).
inline constexpr int kMaxPropertyListDepth = 256;
// Files beyond this size are not read at all.
inline constexpr std::size_t kMaxPropertyListFileSize = std::size_t{16} << 20;

// Reads an XML property list; absent when the text is not one (malformed XML,
// unknown elements, bad numbers, dates or base64, nesting beyond the limit).
// Any value may be the top level.
std::optional<PlistValue> parsePropertyList(std::string_view xml);

// What reading a property-list file found, for callers that must tell a
// missing file from one that holds something they cannot use.
enum class PlistFileStatus {
  Ok,          // value holds the parsed property list
  Missing,     // nothing at the path
  NotAFile,    // a directory, FIFO, socket or device
  Unreadable,  // exists but could not be opened or read
  Empty,       // a regular file of zero bytes
  TooLarge,    // larger than kMaxPropertyListFileSize
  Malformed,   // read fully, but not a property list
};
struct PlistFileContents {
  PlistFileStatus status = PlistFileStatus::Missing;
  std::optional<PlistValue> value;
};
PlistFileContents readPropertyListFile(const std::string& path);

// Reads a property-list file whose top level is a dictionary; absent when the
// file is missing, unreadable, not a property list or not a dictionary.
std::optional<PlistDictionary> readDictionaryFromFile(const std::string& path);
// XML text of a property list, which parsePropertyList reads back to an equal
// value (dates to the whole second).
std::string serializePropertyList(const PlistValue& value);

// Dates as property lists write them: "2010-05-01T10:15:00Z" (UTC).
std::optional<PlistDate> parseIso8601Date(std::string_view text);
std::string formatIso8601Date(PlistDate date);

// Looks a key up; nullptr when absent.
const PlistValue* lookup(const PlistDictionary& dictionary, std::string_view key);

}  // namespace cw
