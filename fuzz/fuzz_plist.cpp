// Fuzzes cw::parsePropertyList, the XML property-list reader behind the
// bundle's Info.plist, the installed product's version and user defaults.
//
// Besides the sanitizers: whatever reads must survive the trip through
// serializePropertyList and back unchanged (dates to the whole second, NaN
// as NaN), serialising must be deterministic, and every accessor must cope
// with every value.

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "Platform/PropertyList.h"

namespace {

// Equality as a round trip can promise it.
bool sameAfterRoundTrip(const cw::PlistValue& original, const cw::PlistValue& reread) {
  if (original.storage().index() != reread.storage().index()) return false;
  if (const double* real = original.asReal()) {
    const double other = *reread.asReal();
    return std::isnan(*real) ? std::isnan(other) : *real == other;
  }
  if (const cw::PlistDate* date = original.asDate())
    return std::chrono::floor<std::chrono::seconds>(*date) == *reread.asDate();
  if (const cw::PlistArray* array = original.asArray()) {
    const cw::PlistArray& other = *reread.asArray();
    if (array->size() != other.size()) return false;
    for (std::size_t i = 0; i < array->size(); ++i)
      if (!sameAfterRoundTrip((*array)[i], other[i])) return false;
    return true;
  }
  if (const cw::PlistDictionary* dictionary = original.asDictionary()) {
    const cw::PlistDictionary& other = *reread.asDictionary();
    if (dictionary->size() != other.size()) return false;
    auto a = dictionary->begin();
    auto b = other.begin();
    for (; a != dictionary->end(); ++a, ++b)
      if (a->first != b->first || !sameAfterRoundTrip(a->second, b->second)) return false;
    return true;
  }
  return original == reread;
}

// Every accessor on every value: none may trap, whatever the value holds.
void touchEverything(const cw::PlistValue& value) {
  volatile bool sink = value.boolValue();
  volatile float number = value.floatValue();
  (void)sink;
  (void)number;
  if (const cw::PlistArray* array = value.asArray())
    for (const cw::PlistValue& element : *array) touchEverything(element);
  if (const cw::PlistDictionary* dictionary = value.asDictionary()) {
    for (const auto& [key, element] : *dictionary) {
      if (cw::lookup(*dictionary, key) != &element) {
        std::fprintf(stderr, "plist oracle: lookup does not find its own key\n");
        std::abort();
      }
      touchEverything(element);
    }
  }
}

[[noreturn]] void fail(const char* what, const std::string& text) {
  std::fprintf(stderr, "plist oracle: %s\n%s\n", what, text.c_str());
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view xml(reinterpret_cast<const char*>(data), size);
  const std::optional<cw::PlistValue> value = cw::parsePropertyList(xml);
  if (!value) return 0;

  touchEverything(*value);
  const std::string description = value->description();

  const std::string written = cw::serializePropertyList(*value);
  if (cw::serializePropertyList(*value) != written) fail("serialising twice gave different text", written);
  const std::optional<cw::PlistValue> reread = cw::parsePropertyList(written);
  if (!reread) fail("what was written does not read back", written);
  if (!sameAfterRoundTrip(*value, *reread)) fail("the value changed on the way through text", written);
  if (cw::serializePropertyList(*reread) != written) fail("writing the re-read value gave other text", written);

  // Dates the reader accepted format and read back as themselves.
  if (const cw::PlistDate* date = value->asDate()) {
    const std::string iso = cw::formatIso8601Date(*date);
    const auto again = cw::parseIso8601Date(iso);
    if (!again || *again != std::chrono::floor<std::chrono::seconds>(*date)) fail("a date does not read back", iso);
  }
  return 0;
}
