#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "Platform/RunLoop.h"

namespace cw {

// What would leave the machine if the user sends the report: shown in the
// consent dialog's details, made only when the user asks for them.
struct ReportDetails {
  // The crash log they are made of.
  std::string crashFile;
  // Where the mail goes, and its subject with the crash summary.
  std::string recipient;
  std::string subject;
  // The summary in that subject, as the mail will have it.
  std::string summary;
  // The paste service the log is uploaded to.
  std::string pasteServiceHostName;
  // Exactly the bytes the upload sends; absent when they cannot be made.
  std::optional<std::string> uploadText;
  // Why not, when absent: a short reason for the user.
  std::string failure;
};

// Makes the details, serving the run loop's modal mode meanwhile so that the
// dialog stays answerable. Stopping the handle in `stop` (it may be replaced
// along the way) ends that work at once; what it then answers is not used.
using DetailsMaker = std::function<ReportDetails(const std::shared_ptr<RunLoop::RunHandle>& stop)>;

}  // namespace cw
