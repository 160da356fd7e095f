#include "UI/MessagePanel.h"

#include "Platform/Format.h"
#include "Platform/RunLoop.h"
#include "UI/Application.h"
#include "UI/LocalizedStrings.h"

namespace cw::ui {

MessagePanelAnswer runMessagePanel(const MessagePanel& panel, std::optional<double> closeAfterSeconds) {
  // The open dialog's loop owns the backend's events.
  if (Application::sharedApplication().modalWindow()) return MessagePanelAnswer::NotShown;
  applicationLoad();
  const std::shared_ptr<Backend> backend = currentBackend();
  const ControlId id = backend && backend->isAlive() ? backend->showMessagePanel(panel) : 0;
  if (id == 0) {
    applicationEndDialogSession();
    return MessagePanelAnswer::NotShown;
  }
  std::optional<MessagePanelAnswer> answer;
  const RunLoop::RunHandle run;
  backend->setEventHandler([&answer, &run, id](const BackendEvent& event) {
    if (answer) return;
    if (event.type == BackendEvent::Type::ButtonPressed && event.control == id)
      answer = MessagePanelAnswer::Acknowledged;
    else if (event.type == BackendEvent::Type::Lost || event.control == id)
      answer = MessagePanelAnswer::Dismissed;
    else
      return;
    run.stop();
  });
  RunLoop::SourceHandle bound;
  if (closeAfterSeconds)
    bound = RunLoop::current().addTimer(*closeAfterSeconds, false,
                                        [&answer, &run] {
                                          if (answer) return;
                                          answer = MessagePanelAnswer::TimedOut;
                                          run.stop();
                                        },
                                        {kModalPanelRunLoopMode});
  backend->activate();
  // An interrupt's stopAll() ends the run without an answer.
  RunLoop::current().run(kModalPanelRunLoopMode, run);
  bound.reset();
  backend->setEventHandler(nullptr);
  backend->destroyControl(id);
  applicationEndDialogSession();
  return answer.value_or(MessagePanelAnswer::Dismissed);
}

MessagePanel mailFailurePanel(std::string_view uploadAddress, std::string_view recipient) {
  MessagePanel panel;
  panel.title = localizedStringForKey("mailFailureTitle");
  const std::string message = localizedStringForKey("mailFailureMsg");
  // The table's text is a format for the recipient; a broken one shows as it stands.
  panel.message = format(message, recipient).value_or(message);
  panel.selectableText = uploadAddress.empty() ? localizedStringForKey("mailFailureNoAddress") : uploadAddress;
  panel.buttonTitle = localizedStringForKey("mailFailureButton");
  return panel;
}

MessagePanel mailFailurePanelWithoutUpload(std::string_view crashLog, std::string_view recipient) {
  MessagePanel panel = mailFailurePanel(crashLog, recipient);
  const std::string message = localizedStringForKey("mailFailureNotUploadedMsg");
  panel.message = format(message, recipient).value_or(message);
  return panel;
}

}  // namespace cw::ui
