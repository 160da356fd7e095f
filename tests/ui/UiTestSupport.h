#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "Platform/Bundle.h"
#include "Platform/PropertyList.h"
#include "UI/MemoryBackend.h"
#include "support/TestSupport.h"

namespace cw::test {

// A copy of the agent's resources in a temporary bundle folder, with an
// Info.plist of the test's choosing.
class StagedBundle {
public:
  // `info` goes into Info.plist (CFBundleDevelopmentRegion "en" is added
  // unless given).
  explicit StagedBundle(PlistDictionary info = {});

  const Bundle& bundle() const { return *bundle_; }
  const std::string& path() const { return dir_.path(); }
  std::string resources() const { return dir_ / "Resources"; }
  void writeResource(std::string_view relative, std::string_view contents) const;
  void removeResource(std::string_view relative) const;

private:
  TempDir dir_;
  std::unique_ptr<Bundle> bundle_;
};

// Installs a fresh in-memory backend as the current one for the scope; the
// one before comes back afterwards.
class ScopedMemoryBackend {
public:
  explicit ScopedMemoryBackend(std::shared_ptr<ui::MemoryBackend> backend = std::make_shared<ui::MemoryBackend>());
  ~ScopedMemoryBackend();
  ui::MemoryBackend& operator*() const { return *backend_; }
  ui::MemoryBackend* operator->() const { return backend_.get(); }
  const std::shared_ptr<ui::MemoryBackend>& get() const { return backend_; }

private:
  std::shared_ptr<ui::MemoryBackend> backend_;
  std::shared_ptr<ui::Backend> previous_;
};

// The language variables all cleared, then LANG set (nullptr: none at all).
class ScopedLanguage {
public:
  explicit ScopedLanguage(const char* lang);

private:
  ScopedEnv language_;
  ScopedEnv lcAll_;
  ScopedEnv lcMessages_;
  ScopedEnv lang_;
};

// The shipped text of a key in a localization of the source tree.
std::string shippedString(std::string_view localization, std::string_view key);

}  // namespace cw::test
