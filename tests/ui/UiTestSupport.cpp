#include "UiTestSupport.h"

#include <filesystem>
#include <stdexcept>

#include "Platform/Bundle.h"
#include "UI/Backend.h"
#include "UI/StringsFile.h"

namespace cw::test {

namespace fs = std::filesystem;

StagedBundle::StagedBundle(PlistDictionary info) {
  const fs::path source = fs::path(CW_SOURCE_DIR) / "CrashWatcher" / "Resources";
  fs::copy(source, dir_ / "Resources", fs::copy_options::recursive);
  fs::remove(dir_ / "Resources/Info.plist");
  if (!info.count("CFBundleDevelopmentRegion")) info.emplace("CFBundleDevelopmentRegion", "en");
  writeFile(dir_ / "Info.plist", serializePropertyList(PlistValue(std::move(info))));
  bundle_ = std::make_unique<Bundle>(dir_.path());
}

void StagedBundle::writeResource(std::string_view relative, std::string_view contents) const {
  writeFile(resources() + "/" + std::string(relative), contents);
}

void StagedBundle::removeResource(std::string_view relative) const {
  fs::remove_all(resources() + "/" + std::string(relative));
}

ScopedMemoryBackend::ScopedMemoryBackend(std::shared_ptr<ui::MemoryBackend> backend)
    : backend_(std::move(backend)), previous_(ui::currentBackend()) {
  ui::setCurrentBackend(backend_);
}

ScopedMemoryBackend::~ScopedMemoryBackend() {
  ui::setCurrentBackend(previous_);
}

ScopedLanguage::ScopedLanguage(const char* lang)
    : language_("LANGUAGE", nullptr),
      lcAll_("LC_ALL", nullptr),
      lcMessages_("LC_MESSAGES", nullptr),
      lang_("LANG", lang) {}

std::string shippedString(std::string_view localization, std::string_view key) {
  const std::string path = std::string(CW_SOURCE_DIR) + "/CrashWatcher/Resources/" + std::string(localization) +
                           ".lproj/Localizable.strings";
  const std::optional<ui::StringTable> table = ui::readStringsFile(path);
  if (!table) throw std::runtime_error("unreadable " + path);
  const auto it = table->find(key);
  if (it == table->end()) throw std::runtime_error("no key " + std::string(key) + " in " + path);
  return it->second;
}

}  // namespace cw::test
