#pragma once

// The side of an open() in progress that HttpCancel reaches. Private to the
// HTTP layer.

namespace vistel::detail {

class HttpCancelTarget {
 public:
  // Called by HttpCancel::cancel on any thread, under the token's lock: marks
  // the open as aborted and wakes its thread. Must not block or call back into
  // the token.
  virtual void cancelRequested() noexcept = 0;

 protected:
  ~HttpCancelTarget() = default;
};

}  // namespace vistel::detail
