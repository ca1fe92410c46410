#pragma once

// One page's session: it hosts one VistelControl (and so one viewer engine)
// with a WebHostUi, runs the page's commands on its own host thread, encodes
// the engine's frames on a frame thread as the page's acknowledgements allow
// (AckWindow), and keeps what is to be sent in an outbox the connection
// drains one message at a time. It knows no socket: the WebSocket layer (or a
// test) feeds it the page's text messages and takes its outgoing ones.
//
// Threads: the connection's thread calls receiveText(), takeOutgoing() and
// connectionClosed(); the session's host thread owns the control (created and
// destroyed there); the frame thread encodes. SessionTransport's members are
// called from the host thread, the frame thread and the connection's thread.

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

#include "vistel/host/property_bag.h"
#include "vistel/host/vistel_control.h"
#include "vistel/platform/thread.h"
#include "vistel/web/ack_window.h"
#include "vistel/web/protocol.h"
#include "vistel/web/security.h"
#include "vistel/web/web_host_ui.h"

namespace vistel::web {

// The connection a session talks through.
class SessionTransport {
 public:
  virtual ~SessionTransport() = default;
  // New messages wait in the outbox. Any thread; returns at once.
  virtual void wake() = 0;
  // Ends the connection with a WebSocket close code and a reason (no
  // password in it). Any thread; returns at once.
  virtual void close(std::uint16_t code, std::string reason) = 0;
};

// WebSocket close codes the session uses.
inline constexpr std::uint16_t kClosePolicy = 1008;  // refused message or rate
inline constexpr std::uint16_t kCloseTooBig = 1009;  // message too large
inline constexpr std::uint16_t kCloseGoingAway = 1001;

// What every session of a server shares. Read only while sessions run.
struct SessionSetup {
  const ServePolicy* policy = nullptr;  // not owned; outlives the sessions
  // The server's own load-time properties (its project or camera params).
  PropertyBag properties;
  // Makes each session's engine (reading relative file:// pictures from the
  // project's folder).
  VistelControl::EngineFactory engineFactory;
  // Clock for the rate limit; null for the system clock.
  std::function<std::uint32_t()> clock;
};

class WebSession final : private PageLink {
 public:
  // Starts the host thread; nothing happens until the page's hello.
  // `setup` and `transport` (not owned) must outlive the session.
  WebSession(const SessionSetup& setup, SessionTransport& transport);
  // Cancels open dialogs, stops the threads (destroying the control and its
  // engine) and returns when they have ended.
  ~WebSession() override;
  WebSession(const WebSession&) = delete;
  WebSession& operator=(const WebSession&) = delete;

  // One text message from the page. A malformed, oversized or too frequent
  // message closes the connection through the transport. Connection thread.
  void receiveText(std::string_view text);

  // The next message to send, text replies and events before frames; nothing
  // when the outbox is empty. A frame taken here counts as unacknowledged.
  struct Outgoing {
    std::string bytes;
    bool binary = false;
  };
  [[nodiscard]] std::optional<Outgoing> takeOutgoing();

  // The page went away: open dialogs are cancelled and no more work is taken.
  void connectionClosed();

  // For tests: frames sent and not yet acknowledged.
  [[nodiscard]] std::size_t unacknowledgedFrames() const { return window_.unacknowledged(); }

 private:
  // PageLink
  std::optional<nlohmann::json> ask(nlohmann::json question) override;
  void frameReady() override;

  void hostThread();
  void frameThread();
  void runTask(const ClientMessage& message);
  void hello(const ClientMessage& message);
  void call(const ClientMessage& message);
  void pollPosition();
  void sendText(std::string text);
  void sendEvent(std::string_view name, const nlohmann::json& detail);
  void refuse(std::uint16_t code, std::string reason);
  void sendSnapshot();

  const SessionSetup& setup_;
  SessionTransport& transport_;
  AckWindow window_;  // locks itself

  std::mutex mutex_;  // guards the fields below up to the next blank line
  std::condition_variable taskReady_;
  std::condition_variable answerReady_;
  std::deque<ClientMessage> tasks_;
  std::map<std::int64_t, nlohmann::json> answers_;  // answers to open asks
  std::int64_t openAsk_ = 0;                        // id of the ask waited for; 0 none
  std::int64_t nextAskId_ = 1;
  std::deque<Outgoing> outbox_;  // replies, events, questions and snapshots
  bool stopping_ = false;
  bool helloSeen_ = false;

  std::mutex frameMutex_;  // guards the two fields below
  std::condition_variable frameWake_;
  bool frameDirty_ = false;
  bool frameStop_ = false;
  std::uint32_t frameReadyMs_ = 0;  // clock time of the latest frame handed over

  // Connection thread only.
  RateLimiter limiter_;

  // Host thread only.
  std::unique_ptr<WebHostUi> ui_;
  std::unique_ptr<VistelControl> control_;
  std::array<float, 4> lastPosition_{};
  bool moving_ = false;
  std::uint64_t framesAtLastPoll_ = 0;

  std::atomic<std::uint64_t> framesDelivered_{0};  // any thread

  Thread host_;  // last: joined first
};

}  // namespace vistel::web
