#pragma once

// The flow control of one page's frames. A page acknowledges every frame it
// has drawn; at most kMaxUnacknowledged frames are on their way (sent, not yet
// acknowledged) or waiting to be sent. A frame is encoded only when the page
// can take it (mayEncode()), so no frame is encoded that no page would
// receive; an encoded frame still waiting for the socket is replaced by a
// newer one, never queued behind it. A hidden page takes no frames at all.
//
// Thread-safety: every member may be called from any thread; the window
// locks itself.

#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>

namespace vistel::web {

class AckWindow {
 public:
  static constexpr std::size_t kMaxUnacknowledged = 2;

  // An encoded frame with the sequence number the page acknowledges.
  struct Frame {
    std::uint32_t sequence = 0;
    std::string bytes;  // the whole binary message
  };

  // True when a frame encoded now could be sent: the page is visible and
  // fewer than kMaxUnacknowledged frames are sent-and-unacknowledged or waiting.
  [[nodiscard]] bool mayEncode() const;

  // The sequence number the next offered frame gets (its message header
  // carries it, so it is taken before encoding).
  [[nodiscard]] std::uint32_t nextSequence() const;

  // Hands over an encoded frame numbered `sequence` (from nextSequence()). It
  // replaces a frame still waiting to be sent (true then). Dropped when the
  // page is hidden.
  bool offer(Frame frame);

  // The waiting frame, now counted as sent and unacknowledged; nothing when
  // none waits.
  [[nodiscard]] std::optional<Frame> takeForSending();

  // The page drew frame `sequence`. False for a sequence that is not
  // outstanding (the page is confused or hostile); nothing changes then.
  bool acknowledge(std::uint32_t sequence);

  // A hidden page gets nothing: its waiting frame is dropped and frames it
  // never acknowledged stop counting (it drew none of them while hidden).
  void setVisible(bool visible);
  [[nodiscard]] bool visible() const;

  // Frames sent and not yet acknowledged.
  [[nodiscard]] std::size_t unacknowledged() const;

 private:
  mutable std::mutex mutex_;
  bool visible_ = true;                    // guarded by mutex_
  std::optional<Frame> waiting_;           // guarded by mutex_
  std::deque<std::uint32_t> outstanding_;  // guarded by mutex_; sent, unacknowledged
  std::uint32_t nextSequence_ = 1;         // guarded by mutex_
};

}  // namespace vistel::web
