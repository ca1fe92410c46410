#pragma once

// Cancels HttpSession::open calls from another thread. The caller owns the
// token and passes it to open(); cancel() ends an open that is still waiting
// for its connection, TLS handshake, redirects, authentication rounds or
// response header, which HttpResponse::abort() cannot reach because no
// response exists yet. Reads of a response that open() already returned are
// not affected: HttpResponse::abort() ends those.
//
// Thread-safety: every member may be called from any thread at the same time.
// The token must outlive every open() it is passed to.

#include <mutex>
#include <vector>

namespace vistel {

namespace detail {
class HttpCancelTarget;  // an open() in progress (http_cancel_p.h)
}

class HttpCancel {
 public:
  HttpCancel() = default;
  ~HttpCancel() = default;
  HttpCancel(const HttpCancel&) = delete;
  HttpCancel& operator=(const HttpCancel&) = delete;

  // Every open() in progress with this token returns null with
  // HttpError::Aborted within about 100 ms, and every later one fails the same
  // way at once, before it connects, until reset(). Any thread.
  void cancel();

  // Lets later opens with this token run again. Opens that cancel() already
  // reached still fail. Any thread.
  void reset();

  // True from cancel() until reset(). Any thread.
  [[nodiscard]] bool isCancelled() const;

 private:
  friend class HttpResponse;

  // Registers an open in progress for cancel() to reach; false (nothing
  // registered) when the token is cancelled already. Called by the opening thread.
  [[nodiscard]] bool enter(detail::HttpCancelTarget& target);
  // Unregisters it; after this returns, cancel() no longer touches `target`.
  void leave(detail::HttpCancelTarget& target);

  mutable std::mutex lock_;
  bool cancelled_ = false;                          // guarded by lock_
  std::vector<detail::HttpCancelTarget*> targets_;  // guarded by lock_; opens in progress
};

}  // namespace vistel
