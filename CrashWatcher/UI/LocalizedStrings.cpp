#include "UI/LocalizedStrings.h"

#include <algorithm>
#include <cstdlib>
#include <optional>

#include "Platform/Bundle.h"
#include "Platform/Paths.h"
#include "UI/StringsFile.h"

namespace cw::ui {
namespace {

constexpr std::string_view kFallbackRegion = "en";

// A tag that can safely name a folder: letters, digits, '_' and '-'.
bool isPlainLanguageTag(std::string_view tag) {
  return !tag.empty() && tag.size() <= 35 && std::all_of(tag.begin(), tag.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
  });
}

std::optional<std::string> languageFromLocale(std::string_view locale) {
  locale = locale.substr(0, locale.find_first_of(".@"));
  if (locale == "C" || locale == "POSIX" || !isPlainLanguageTag(locale)) return std::nullopt;
  return std::string(locale);
}

std::string environmentValue(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

std::string tablePath(const Bundle& bundle, std::string_view localization) {
  return appendPathComponent(bundle.resourcePath(),
                             std::string(localization) + ".lproj/" + std::string(kDefaultStringTable) + ".strings");
}

// The chosen localization and its table; none when even the fallback fails.
struct ChosenTable {
  std::string localization;
  StringTable table;
};

std::optional<ChosenTable> chooseTable(const Bundle& bundle) {
  std::vector<std::string> candidates;
  for (const std::string& language : preferredLanguagesFromEnvironment()) {
    candidates.push_back(language);
    const std::size_t separator = language.find_first_of("_-");
    if (separator != std::string::npos) candidates.push_back(language.substr(0, separator));
  }
  std::string region(kFallbackRegion);
  if (const PlistValue* value = bundle.objectForInfoDictionaryKey("CFBundleDevelopmentRegion"))
    if (const std::string* text = value->asString(); text && isPlainLanguageTag(*text)) region = *text;
  candidates.push_back(region);

  for (const std::string& candidate : candidates)
    if (std::optional<StringTable> table = readStringsFile(tablePath(bundle, candidate)))
      return ChosenTable{candidate, std::move(*table)};
  return std::nullopt;
}

}  // namespace

std::vector<std::string> preferredLanguagesFromEnvironment() {
  std::vector<std::string> languages;
  auto add = [&languages](std::string_view entry) {
    std::optional<std::string> language = languageFromLocale(entry);
    if (language && std::find(languages.begin(), languages.end(), *language) == languages.end())
      languages.push_back(std::move(*language));
  };
  const std::string list = environmentValue("LANGUAGE");
  std::size_t start = 0;
  while (start <= list.size()) {
    const std::size_t end = std::min(list.find(':', start), list.size());
    if (end > start) add(std::string_view(list).substr(start, end - start));
    start = end + 1;
  }
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const std::string locale = environmentValue(name);
    if (locale.empty()) continue;
    add(locale);
    break;  // the first one set decides, as for every program
  }
  return languages;
}

std::string chosenLocalization(const Bundle& bundle) {
  std::optional<ChosenTable> chosen = chooseTable(bundle);
  return chosen ? chosen->localization : std::string();
}

std::string localizedStringForKey(const Bundle& bundle, std::string_view key, std::string_view value) {
  // Read afresh each time: a handful of lookups per dialog, and the user may
  // change language between dialogs.
  if (std::optional<ChosenTable> chosen = chooseTable(bundle)) {
    const auto it = chosen->table.find(key);
    if (it != chosen->table.end()) return it->second;
  }
  return std::string(value.empty() ? key : value);
}

std::string localizedStringForKey(std::string_view key, std::string_view value) {
  return localizedStringForKey(Bundle::mainBundle(), key, value);
}

}  // namespace cw::ui
