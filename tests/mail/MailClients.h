#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/TestSupport.h"

namespace cw::test {

// The fields of a message as a mail program prepared it from a mailto: URL.
struct MailDraft {
  std::string to, subject, body;
};

// What became of a mailto: URL handed to xdg-open: the draft the mail
// program made of it, or why there is none (what xdg-open and the probes said).
struct MailOutcome {
  std::optional<MailDraft> draft;
  std::string trace;
};

// Real mail programs opened through xdg-open, as the desktop opens them for
// the agent, in a home of their own: a temporary HOME with XDG_CONFIG_HOME,
// XDG_DATA_HOME, a private runtime and temporary folder, and no session bus,
// so that nothing of the machine's desktop is read or changed. The mailto
// handler is registered with `xdg-mime default`. Nothing is ever sent:
// neomutt's sendmail is a probe that records, Claws Mail's only account has
// a server on a closed local port and nothing is queued. A browser that
// xdg-open falls back to is a probe too.
class MailClientHome {
public:
  // `display` is an X server of the test's own (Claws Mail draws there).
  explicit MailClientHome(const std::string& display);
  ~MailClientHome();
  MailClientHome(const MailClientHome&) = delete;
  MailClientHome& operator=(const MailClientHome&) = delete;

  // neomutt in a tmux session (it needs a terminal), its editor hook saving
  // the parsed draft with its headers; it then aborts the unchanged message.
  MailOutcome openInNeomutt(const std::string& url);
  // Claws Mail through its own Debian desktop entry; the compose window is
  // saved to the drafts folder of a local MH mailbox and read back from there.
  // No compose window within `composeWait` counts as none.
  MailOutcome openInClawsMail(const std::string& url, std::chrono::seconds composeWait = std::chrono::seconds(30));

  // Whether neomutt's sendmail probe was ever called.
  bool neomuttSentAnything() const;

private:
  void registerHandler(const std::string& desktopFile);

  std::string display_;
  TempDir home_;
  std::vector<std::unique_ptr<ScopedEnv>> environment_;
};

}  // namespace cw::test
