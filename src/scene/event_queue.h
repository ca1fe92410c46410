#pragma once

// The scene's queue of script events ("oninit", "onexit", ...): raised when
// views enter and leave, handled once per engine pass by the scene's dispatch.
// Events must not outlive their targets: whoever destroys an instance first
// discards the events queued for it.
//
// Thread-safety: every operation may be called from any thread; one lock,
// private to this class, guards the list and is never held while a script
// runs.

#include <cstddef>
#include <list>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace vistel {

class Instance;

struct PendingEvent {
  Instance* target = nullptr;  // not owned; alive while the event is queued
  std::string name;
};

class EventQueue {
 public:
  // Appends an event for `target`; nothing when `target` is null.
  void raise(Instance* target, std::string_view name);
  // Removes and returns the oldest event; nothing when the queue is empty.
  [[nodiscard]] std::optional<PendingEvent> take();
  // Drops every queued event for `target`, unhandled.
  void discard(const Instance* target);
  std::size_t size() const;

 private:
  mutable std::mutex lock_;
  std::list<PendingEvent> events_;  // guarded by lock_; oldest first
};

}  // namespace vistel
