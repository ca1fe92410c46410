#include "vistel/scene/event_queue.h"

#include <utility>

namespace vistel {

void EventQueue::raise(Instance* target, std::string_view name) {
  if (target == nullptr) return;
  PendingEvent event{target, std::string(name)};
  std::lock_guard<std::mutex> guard(lock_);
  events_.push_back(std::move(event));
}

std::optional<PendingEvent> EventQueue::take() {
  std::lock_guard<std::mutex> guard(lock_);
  if (events_.empty()) return std::nullopt;
  PendingEvent event = std::move(events_.front());
  events_.pop_front();
  return event;
}

void EventQueue::discard(const Instance* target) {
  std::lock_guard<std::mutex> guard(lock_);
  events_.remove_if([target](const PendingEvent& event) { return event.target == target; });
}

std::size_t EventQueue::size() const {
  std::lock_guard<std::mutex> guard(lock_);
  return events_.size();
}

}  // namespace vistel
