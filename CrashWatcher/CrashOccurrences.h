#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "FRCrashLogFinder.h"

namespace cw {

// How often a fault happened, and between which times (of its crash logs).
struct Repeats {
  std::uint64_t count = 0;
  std::optional<Date> first;
  std::optional<Date> last;

  void add(Date when);
  void add(const Repeats& other);
  bool operator==(const Repeats&) const = default;
};

// What the dialog and the mail say about how often the fault of a report
// happened: the crashes folded into it (itself included), and those of the
// same fault since the user last answered for it, which were not asked about.
struct CrashOccurrences {
  Repeats folded;
  std::optional<Date> lastAnswered;
  Repeats sinceAnswer;
  bool operator==(const CrashOccurrences&) const = default;
};

// "2026-12-08 12:24:49", local time, as log lines, the dialog and the mail
// show when crashes happened.
std::string formatLocalTime(Date when);

}  // namespace cw
