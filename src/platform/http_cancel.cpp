#include "vistel/platform/http_cancel.h"

#include <algorithm>

#include "vistel/platform/http_cancel_p.h"

namespace vistel {

void HttpCancel::cancel() {
  std::lock_guard lock(lock_);
  cancelled_ = true;
  // Under the lock, so that an open cannot leave (and free its handles)
  // while it is being woken.
  for (detail::HttpCancelTarget* target : targets_) target->cancelRequested();
}

void HttpCancel::reset() {
  std::lock_guard lock(lock_);
  cancelled_ = false;
}

bool HttpCancel::isCancelled() const {
  std::lock_guard lock(lock_);
  return cancelled_;
}

bool HttpCancel::enter(detail::HttpCancelTarget& target) {
  std::lock_guard lock(lock_);
  // Checked under the same lock cancel() takes: an open that begins after
  // cancel() sees it, one that began before is in the list cancel() walks.
  if (cancelled_) return false;
  targets_.push_back(&target);
  return true;
}

void HttpCancel::leave(detail::HttpCancelTarget& target) {
  std::lock_guard lock(lock_);
  targets_.erase(std::remove(targets_.begin(), targets_.end(), &target), targets_.end());
}

}  // namespace vistel
