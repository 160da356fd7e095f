#include "CrashLogRecord.h"

#include <sys/stat.h>

namespace cw {

std::optional<CrashLogIdentity> identifyCrashLog(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return std::nullopt;
  const auto sinceEpoch = std::chrono::seconds(st.st_mtim.tv_sec) + std::chrono::nanoseconds(st.st_mtim.tv_nsec);
  return CrashLogIdentity{st.st_dev, st.st_ino, st.st_size,
                          Date(std::chrono::duration_cast<Date::duration>(sinceEpoch))};
}

void CrashLogRecord::add(const CrashLogIdentity& log) {
  logs_.insert(log);
  while (logs_.size() > kCapacity) logs_.erase(logs_.begin());
}

void CrashLogRecord::forgetModifiedBefore(Date reach) {
  logs_.erase(logs_.begin(), logs_.lower_bound(CrashLogIdentity{0, 0, 0, reach}));
}

std::vector<CrashLogIdentity> CrashLogRecord::modifiedSince(Date reach) const {
  return {logs_.lower_bound(CrashLogIdentity{0, 0, 0, reach}), logs_.end()};
}

}  // namespace cw
