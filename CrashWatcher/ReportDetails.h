#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace cw {

// What would leave the machine if the user sends the report: shown in the
// consent dialog's details, made only when the user asks for them.
struct ReportDetails {
  // Where the mail goes, and its subject with the crash summary.
  std::string recipient;
  std::string subject;
  // The paste service the log is uploaded to.
  std::string pasteServiceHostName;
  // Exactly the bytes the upload sends; absent when they cannot be made.
  std::optional<std::string> uploadText;
  // Why not, when absent: a short reason for the user.
  std::string failure;
};

// Starts making the details and answers a token whose end stops that work at
// once. `done` runs later, from the run loop, never inside the call.
using DetailsMaker = std::function<std::shared_ptr<void>(std::function<void(ReportDetails)> done)>;

}  // namespace cw
