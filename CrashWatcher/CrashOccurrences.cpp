#include "CrashOccurrences.h"

#include <algorithm>
#include <ctime>

namespace cw {

void Repeats::add(Date when) {
  ++count;
  first = first ? std::min(*first, when) : when;
  last = last ? std::max(*last, when) : when;
}

void Repeats::add(const Repeats& other) {
  if (other.count == 0) return;
  count += other.count;
  if (other.first) first = first ? std::min(*first, *other.first) : *other.first;
  if (other.last) last = last ? std::max(*last, *other.last) : *other.last;
}

std::string formatLocalTime(Date when) {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(when);
  std::tm local{};
  if (!::localtime_r(&seconds, &local)) ::gmtime_r(&seconds, &local);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  return text;
}

}  // namespace cw
