#pragma once

// What the framework's formatters, writers and logger share inside it.

#include <string>
#include <utility>

#include "GTM/GTMLogger.h"

namespace cw::gtm_detail {

// Storage for process-wide objects that must outlive every thread that may
// still log while the process exits: the value is never destroyed.
template <typename T>
union NeverDestroyed {
  template <typename... Args>
  explicit NeverDestroyed(Args&&... args) : value(std::forward<Args>(args)...) {}
  ~NeverDestroyed() {}
  T value;
};

// A per-thread buffer for the line being made, so that a line costs no
// allocation once the buffer has grown to the thread's longest line. A
// nested use on the same thread (a description that logs, a logger as the
// writer of another) gets a buffer of its own.
class ScratchLine {
public:
  ScratchLine() {
    if (!tScratch.busy) {
      tScratch.busy = true;
      text_ = &tScratch.text;
      text_->clear();
    }
  }
  ~ScratchLine() {
    if (text_ != &tScratch.text) return;
    constexpr std::size_t kKeptCapacity = 64 * 1024;  // one huge line should not pin its memory
    if (text_->capacity() > kKeptCapacity) std::string().swap(*text_);
    tScratch.busy = false;
  }
  ScratchLine(const ScratchLine&) = delete;
  ScratchLine& operator=(const ScratchLine&) = delete;

  std::string& text() { return *text_; }

private:
  struct Shared {
    // A thread that logs from a later thread-local destructor finds the
    // buffer busy and uses its own.
    ~Shared() { busy = true; }
    std::string text;
    bool busy = false;
  };
  static thread_local Shared tScratch;
  std::string own_;
  std::string* text_ = &own_;
};

// GTMLogLevelFilter's rule: the message text plays no part.
bool levelFilterAllows(GTMLogLevel level);

}  // namespace cw::gtm_detail
