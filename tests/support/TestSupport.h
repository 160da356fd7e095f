#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <string_view>

namespace cw::test {

// Polls `done` until it holds; false once `guard` (a hang guard, never a
// timing check) has run out.
bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds guard = std::chrono::seconds(60),
               std::chrono::milliseconds interval = std::chrono::milliseconds(2));

// A fresh folder under $TMPDIR, removed with everything in it on destruction.
class TempDir {
public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string operator/(std::string_view relative) const;

private:
  std::string path_;
};

// Sets (or with nullptr unsets) an environment variable for the scope.
class ScopedEnv {
public:
  ScopedEnv(std::string name, const char* value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
  std::string name_;
  bool had_ = false;
  std::string old_;
};

// A temporary HOME (and a local library folder) for the scope.
class TempHome {
public:
  TempHome();
  const std::string& path() const { return dir_.path(); }
  std::string localLibrary() const { return dir_ / "LocalLibrary"; }

private:
  TempDir dir_;
  ScopedEnv home_;
  ScopedEnv local_;
};

void makeDirectories(const std::string& path);
void writeFile(const std::string& path, std::string_view contents, unsigned mode = 0644);
std::string readFile(const std::string& path);
bool pathExists(const std::string& path);
// Sets a file's modification time to now + offsetSeconds.
void setModificationTime(const std::string& path, double offsetSeconds);

}  // namespace cw::test

namespace cw::test {

// Redirects standard error into a file for the scope; text() reads what came.
class CaptureStderr {
public:
  CaptureStderr();
  ~CaptureStderr();
  CaptureStderr(const CaptureStderr&) = delete;
  CaptureStderr& operator=(const CaptureStderr&) = delete;
  std::string text() const;

private:
  TempDir dir_;
  int saved_ = -1;
};

}  // namespace cw::test
