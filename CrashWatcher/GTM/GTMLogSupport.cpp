#include "GTMLogSupport.h"

namespace cw::gtm_detail {

thread_local ScratchLine::Shared ScratchLine::tScratch;

bool levelFilterAllows(GTMLogLevel level) {
  switch (level) {
    case GTMLogLevelDebug:
      return false;
    case GTMLogLevelInfo:
      return IsVerboseLoggingEnabled();
    default:
      return true;
  }
}

}  // namespace cw::gtm_detail
