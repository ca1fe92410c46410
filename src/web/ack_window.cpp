#include "vistel/web/ack_window.h"

#include <algorithm>

namespace vistel::web {

bool AckWindow::mayEncode() const {
  std::lock_guard lock(mutex_);
  return visible_ && outstanding_.size() + (waiting_ ? 1 : 0) < kMaxUnacknowledged;
}

std::uint32_t AckWindow::nextSequence() const {
  std::lock_guard lock(mutex_);
  return nextSequence_;
}

bool AckWindow::offer(Frame frame) {
  std::lock_guard lock(mutex_);
  if (!visible_) return false;
  // Sequence numbers only grow, so an acknowledgement can never match a frame
  // that was replaced before it was sent.
  nextSequence_ = std::max(nextSequence_, frame.sequence + 1);
  const bool replaced = waiting_.has_value();
  waiting_ = std::move(frame);
  return replaced;
}

std::optional<AckWindow::Frame> AckWindow::takeForSending() {
  std::lock_guard lock(mutex_);
  if (!waiting_) return std::nullopt;
  std::optional<Frame> frame = std::move(waiting_);
  waiting_.reset();
  outstanding_.push_back(frame->sequence);
  return frame;
}

bool AckWindow::acknowledge(std::uint32_t sequence) {
  std::lock_guard lock(mutex_);
  const auto it = std::find(outstanding_.begin(), outstanding_.end(), sequence);
  if (it == outstanding_.end()) return false;
  // Frames sent before the acknowledged one are superseded: the page drew a
  // newer picture, so they no longer hold the window.
  outstanding_.erase(outstanding_.begin(), it + 1);
  return true;
}

void AckWindow::setVisible(bool visible) {
  std::lock_guard lock(mutex_);
  visible_ = visible;
  if (!visible) {
    waiting_.reset();
    outstanding_.clear();
  }
}

bool AckWindow::visible() const {
  std::lock_guard lock(mutex_);
  return visible_;
}

std::size_t AckWindow::unacknowledged() const {
  std::lock_guard lock(mutex_);
  return outstanding_.size();
}

}  // namespace vistel::web
