#include "Platform/VirtualTime.h"

namespace cw {

VirtualTime::VirtualTime(RunLoop& loop) : loop_(loop) {
  loop_.setVirtualNow(RunLoop::Clock::now());
}

VirtualTime::~VirtualTime() {
  loop_.setVirtualNow(std::nullopt);
}

void VirtualTime::advance(std::chrono::duration<double> by, std::string_view mode) {
  loop_.advanceVirtualNow(std::chrono::duration_cast<RunLoop::Clock::duration>(by), mode);
}

}  // namespace cw
