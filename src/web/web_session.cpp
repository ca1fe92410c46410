#include "vistel/web/web_session.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>

#include "vistel/platform/clock.h"
#include "vistel/web/frame_encoder.h"

namespace vistel::web {

namespace {

using nlohmann::json;

// How often the host thread looks at the position while frames arrive.
constexpr std::uint32_t kPositionPollMs = 40;
// Work a page may have waiting before it is taken as flooding the session.
constexpr std::size_t kMaxQueuedTasks = 256;
constexpr std::size_t kMaxOutbox = 4096;

// The properties that decide which project (and so which cameras) a session
// shows.
bool isProjectProperty(std::string_view name) {
  return name == "Project" || name == "startImage" || name == "endImage" ||
         name == "topCameraAddress" || name == "bottomCameraAddress";
}

std::string dump(const json& value) {
  return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

json positionDetail(const std::array<float, 4>& p) {
  return {{"navProgress", p[0]}, {"xOffset", p[1]}, {"yOffset", p[2]}, {"zoomFactor", p[3]}};
}

// Argument readers for the automation members: false when the argument is
// missing or of the wrong type or range.
bool floatArg(const json& args, std::size_t i, float& out) {
  if (i >= args.size() || !args[i].is_number()) return false;
  out = static_cast<float>(args[i].get<double>());
  return true;
}

bool intArg(const json& args, std::size_t i, std::int64_t low, std::int64_t high,
            std::int64_t& out) {
  if (i >= args.size() || !args[i].is_number()) return false;
  const double v = args[i].get<double>();
  if (!std::isfinite(v) || v != std::trunc(v) || v < static_cast<double>(low) ||
      v > static_cast<double>(high)) {
    return false;
  }
  out = static_cast<std::int64_t>(v);
  return true;
}

bool stringArg(const json& args, std::size_t i, std::string& out) {
  if (i >= args.size() || !args[i].is_string()) return false;
  out = args[i].get<std::string>();
  return true;
}

// A picture name a page gave Recalibrate, as the path or URL to load, or
// empty with `reason` set when the page may not have it read.
std::string pagePicture(const std::string& name, const std::filesystem::path& folder,
                        std::string& reason) {
  std::string address = name;
  if (name.find("://") == std::string::npos) address = "file://" + name;
  reason = checkPictureAddress(address, folder);
  if (!reason.empty()) return "";
  if (!address.starts_with("file://")) return address;
  const std::filesystem::path path(address.substr(7));
  return (path.is_absolute() ? path : folder / path).string();
}

}  // namespace

WebSession::WebSession(const SessionSetup& setup, SessionTransport& transport)
    : setup_(setup),
      transport_(transport),
      limiter_(setup.policy->messagesPerSecond, setup.policy->messageBurst) {
  host_ = startThread([this] { hostThread(); }, ThreadOptions{0, ThreadPriority::Normal});
  if (!host_.joinable()) transport_.close(1011, "the server cannot start a session");
}

WebSession::~WebSession() {
  connectionClosed();
  host_.join();
}

void WebSession::connectionClosed() {
  std::lock_guard lock(mutex_);
  stopping_ = true;
  taskReady_.notify_all();
  answerReady_.notify_all();
}

// ---- Connection thread --------------------------------------------------------

void WebSession::refuse(std::uint16_t code, std::string reason) {
  transport_.close(code, std::move(reason));
  connectionClosed();
}

void WebSession::receiveText(std::string_view text) {
  const std::uint32_t now = setup_.clock ? setup_.clock() : nowMs();
  if (!limiter_.take(now)) {
    refuse(kClosePolicy, "too many messages");
    return;
  }
  ClientMessage message = parseClientMessage(text);
  switch (message.kind) {
    case ClientKind::Invalid:
      refuse(message.error == "message too large" ? kCloseTooBig : kClosePolicy, message.error);
      return;
    case ClientKind::Ack: {
      (void)window_.acknowledge(static_cast<std::uint32_t>(message.sequence));
      std::lock_guard lock(frameMutex_);
      frameWake_.notify_all();
      return;
    }
    case ClientKind::Answer: {
      std::lock_guard lock(mutex_);
      if (message.id == openAsk_) {
        answers_[message.id] = std::move(message.value);
        answerReady_.notify_all();
      }
      return;
    }
    case ClientKind::Show:
      window_.setVisible(message.flag);
      break;
    default:
      break;
  }
  std::lock_guard lock(mutex_);
  if (stopping_) return;
  if (message.kind == ClientKind::Hello) {
    if (helloSeen_) {
      transport_.close(kClosePolicy, "a session has one hello");
      stopping_ = true;
      taskReady_.notify_all();
      answerReady_.notify_all();
      return;
    }
    helloSeen_ = true;
    window_.setVisible(message.flag);
  } else if (!helloSeen_) {
    transport_.close(kClosePolicy, "hello comes first");
    stopping_ = true;
    taskReady_.notify_all();
    return;
  }
  // Pointer moves while the host thread is busy only matter as the last one.
  if (message.kind == ClientKind::PointerMove && !tasks_.empty() &&
      tasks_.back().kind == ClientKind::PointerMove) {
    tasks_.back() = std::move(message);
    return;
  }
  if (tasks_.size() >= kMaxQueuedTasks) {
    transport_.close(kClosePolicy, "too many commands waiting");
    stopping_ = true;
    taskReady_.notify_all();
    answerReady_.notify_all();
    return;
  }
  tasks_.push_back(std::move(message));
  taskReady_.notify_one();
}

std::optional<WebSession::Outgoing> WebSession::takeOutgoing() {
  {
    std::lock_guard lock(mutex_);
    if (!outbox_.empty()) {
      Outgoing out = std::move(outbox_.front());
      outbox_.pop_front();
      return out;
    }
  }
  if (auto frame = window_.takeForSending()) return Outgoing{std::move(frame->bytes), true};
  return std::nullopt;
}

// ---- Any thread ---------------------------------------------------------------------

void WebSession::sendText(std::string text) {
  {
    std::lock_guard lock(mutex_);
    if (stopping_) return;
    if (outbox_.size() >= kMaxOutbox) {
      // The page reads nothing; keeping more would only grow memory.
      transport_.close(kClosePolicy, "the page does not read its messages");
      stopping_ = true;
      taskReady_.notify_all();
      answerReady_.notify_all();
      return;
    }
    outbox_.push_back({std::move(text), false});
  }
  transport_.wake();
}

void WebSession::sendEvent(std::string_view name, const json& detail) {
  sendText(eventMessage(name, detail));
}

void WebSession::frameReady() {
  framesDelivered_.fetch_add(1, std::memory_order_relaxed);
  std::lock_guard lock(frameMutex_);
  frameDirty_ = true;
  frameReadyMs_ = nowMs();
  frameWake_.notify_all();
}

// ---- Host thread ------------------------------------------------------------------------

std::optional<json> WebSession::ask(json question) {
  std::int64_t id = 0;
  {
    std::lock_guard lock(mutex_);
    if (stopping_) return std::nullopt;
    id = nextAskId_++;
    openAsk_ = id;
  }
  question["t"] = "ask";
  question["id"] = id;
  sendText(dump(question));
  std::unique_lock lock(mutex_);
  answerReady_.wait(lock, [&] { return stopping_ || answers_.contains(id); });
  openAsk_ = 0;
  const auto it = answers_.find(id);
  if (it == answers_.end()) return std::nullopt;
  json answer = std::move(it->second);
  answers_.erase(it);
  return answer;
}

void WebSession::hostThread() {
  PageLink& link = *this;
  ui_ = std::make_unique<WebHostUi>(link);
  control_ = std::make_unique<VistelControl>(*ui_, setup_.engineFactory);
  Thread frames = startThread([this] { frameThread(); }, ThreadOptions{0, ThreadPriority::Normal});
  std::uint32_t lastPoll = nowMs();
  for (;;) {
    std::optional<ClientMessage> task;
    {
      std::unique_lock lock(mutex_);
      taskReady_.wait_for(lock, std::chrono::milliseconds(kPositionPollMs),
                          [&] { return stopping_ || !tasks_.empty(); });
      if (stopping_) break;
      if (!tasks_.empty()) {
        task = std::move(tasks_.front());
        tasks_.pop_front();
      }
    }
    if (task) runTask(*task);
    const std::uint32_t now = nowMs();
    if (elapsedMs(now, lastPoll) >= static_cast<std::int32_t>(kPositionPollMs)) {
      lastPoll = now;
      pollPosition();
    }
  }
  ui_->setWindowExists(false);
  control_->onDestroy();
  {
    std::lock_guard lock(frameMutex_);
    frameStop_ = true;
    frameWake_.notify_all();
  }
  frames.join();
  control_.reset();  // stops the engine thread
  ui_.reset();
}

void WebSession::frameThread() {
  FrameEncoder encoder;
  FrameCopy copy;
  std::uint64_t lastSent = 0;
  std::uint32_t readyMs = 0;
  for (;;) {
    {
      std::unique_lock lock(frameMutex_);
      frameWake_.wait(lock, [&] { return frameStop_ || (frameDirty_ && window_.mayEncode()); });
      if (frameStop_) return;
      frameDirty_ = false;
      readyMs = frameReadyMs_;
    }
    if (!control_->copyLatestFrame(copy) || copy.sequence == lastSent) continue;
    lastSent = copy.sequence;
    const std::uint32_t sequence = window_.nextSequence();
    std::string bytes = frameHeader(sequence, copy.width, copy.height, readyMs);
    if (!encoder.encode(copy.pixels.data(), copy.width, copy.height, bytes)) continue;
    (void)window_.offer({sequence, std::move(bytes)});
    transport_.wake();
  }
}

void WebSession::sendSnapshot() {
  if (auto snapshot = ui_->takeSnapshot()) {
    {
      std::lock_guard lock(mutex_);
      if (stopping_) return;
      outbox_.push_back({snapshotMessage(snapshot->name, snapshot->jpeg), true});
    }
    transport_.wake();
  }
}

void WebSession::runTask(const ClientMessage& m) {
  VistelControl& control = *control_;
  switch (m.kind) {
    case ClientKind::Hello:
      hello(m);
      break;
    case ClientKind::Call:
      call(m);
      break;
    case ClientKind::Size:
      control.onSize(m.x, m.y);
      break;
    case ClientKind::Show:
      control.onShowWindow(m.flag, 0);
      break;
    case ClientKind::PointerDown:
      if (m.button == 0) {
        control.onLeftButtonDown(m.x, m.y);
      } else {
        control.onRightButtonDown(m.x, m.y);
      }
      break;
    case ClientKind::PointerUp:
      if (m.button == 0) {
        control.onLeftButtonUp(m.x, m.y);
      } else {
        control.onRightButtonUp(m.x, m.y);
      }
      break;
    case ClientKind::PointerMove:
      control.onMouseMove(m.x, m.y);
      break;
    case ClientKind::Wheel:
      (void)control.onMouseWheel(static_cast<std::int16_t>(
          std::clamp<std::int32_t>(m.x, std::numeric_limits<std::int16_t>::min(),
                                   std::numeric_limits<std::int16_t>::max())));
      break;
    case ClientKind::Key:
      if (m.flag) {
        control.onKeyDown(m.x, m.y);
      } else {
        control.onKeyUp(m.x, m.y);
      }
      break;
    case ClientKind::Command:
      // The page binds copying the position to a key; the menu's commands
      // come only through the menu.
      if (m.x == static_cast<std::int32_t>(ControlCommand::CopyPosition)) {
        (void)control.runCommand(m.x);
      }
      break;
    default:
      break;
  }
  sendSnapshot();
}

void WebSession::hello(const ClientMessage& m) {
  const ServePolicy& policy = *setup_.policy;
  PropertyBag bag = setup_.properties;
  for (const auto& [name, value] : m.args.items()) {
    const std::string text = value.get<std::string>();
    if (isProjectProperty(name)) {
      std::string reason;
      if (!policy.allowPageProjects) {
        reason = "this server shows its own project";
      } else if (name == "Project") {
        reason = checkPageProject(text, policy.projectFolder);
      } else {
        reason = checkPictureAddress(text, policy.projectFolder);
      }
      if (!reason.empty()) {
        sendEvent("error", {{"message", "param " + maskPasswords(name) + " refused: " + reason}});
        continue;
      }
    }
    if (!bag.set(name, text)) {
      sendEvent("error", {{"message", "param " + maskPasswords(name) + " refused"}});
    }
  }
  control_->load(bag);
  ui_->setWindowExists(true);
  control_->onCreate();
  control_->onShowWindow(m.flag, 0);
  control_->onSize(m.x, m.y);
  sendText(R"({"t":"ready"})");
}

void WebSession::call(const ClientMessage& m) {
  VistelControl& control = *control_;
  const ServePolicy& policy = *setup_.policy;
  const json& a = m.args;
  const std::string& name = m.member;
  auto reply = [&](const json& value) { sendText(replyMessage(m.id, value)); };
  auto fail = [&](std::string_view error) { sendText(errorReplyMessage(m.id, error)); };
  auto badArguments = [&] { fail(name + ": wrong arguments"); };

  float f[4];
  std::int64_t n = 0;
  std::string s[4];
  if (name == "GotoPosition") {
    if (!floatArg(a, 0, f[0]) || !floatArg(a, 1, f[1]) || !floatArg(a, 2, f[2]) ||
        !floatArg(a, 3, f[3])) {
      return badArguments();
    }
    reply(control.GotoPosition(f[0], f[1], f[2], f[3]));
  } else if (name == "GotoPreset") {
    if (!intArg(a, 0, INT16_MIN, INT16_MAX, n)) return badArguments();
    control.GotoPreset(static_cast<std::int16_t>(n));
    reply(nullptr);
  } else if (name == "Zoom" || name == "Blend" || name == "SetZoom") {
    if (!floatArg(a, 0, f[0])) return badArguments();
    if (name == "Zoom") control.Zoom(f[0]);
    if (name == "Blend") control.Blend(f[0]);
    if (name == "SetZoom") control.SetZoom(f[0]);
    reply(nullptr);
  } else if (name == "Home" || name == "Suspend" || name == "Resume") {
    if (name == "Home") control.Home();
    if (name == "Suspend") control.Suspend();
    if (name == "Resume") control.Resume();
    reply(nullptr);
  } else if (name == "SetPresetTime") {
    if (!intArg(a, 0, INT32_MIN, INT32_MAX, n)) return badArguments();
    control.SetPresetTime(static_cast<std::int32_t>(n));
    reply(nullptr);
  } else if (name == "SetManualTime") {
    if (!intArg(a, 0, INT16_MIN, INT16_MAX, n)) return badArguments();
    control.SetManualTime(static_cast<std::int16_t>(n));
    reply(nullptr);
  } else if (name == "GetBlendFactor") {
    reply(control.GetBlendFactor());
  } else if (name == "GetZoomFactor") {
    reply(control.GetZoomFactor());
  } else if (name == "GetXOffset") {
    reply(control.GetXOffset());
  } else if (name == "GetYOffset") {
    reply(control.GetYOffset());
  } else if (name == "Project" && a.empty()) {
    // The generated project holds camera passwords in its addresses.
    reply(maskPasswords(control.Project()));
  } else if (name == "Project" || name == "SetProjectXMLBuffer") {
    if (!stringArg(a, 0, s[0])) return badArguments();
    if (!policy.allowPageProjects) return fail("this server shows its own project");
    const std::string reason = checkPageProject(s[0], policy.projectFolder);
    if (!reason.empty()) return fail(reason);
    if (name == "Project") {
      control.Project(s[0]);
    } else {
      control.SetProjectXMLBuffer(s[0]);
    }
    sendEvent("projectchange", json::object());
    reply(nullptr);
  } else if (name == "ExecSilentURL") {
    if (!stringArg(a, 0, s[0])) return badArguments();
    const std::string reason = checkSilentUrl(s[0], policy.silentUrlHosts);
    if (!reason.empty()) return fail(reason);
    control.ExecSilentURL(s[0]);
    reply(nullptr);
  } else if (name == "Recalibrate") {
    for (std::size_t i = 0; i < 4; ++i) {
      if (!stringArg(a, i, s[i])) return badArguments();
    }
    if (!policy.allowRecalibrate) return fail("Recalibrate is not enabled on this server");
    std::string reason;
    const std::string source = pagePicture(s[0], policy.projectFolder, reason);
    if (!reason.empty()) return fail(reason);
    const std::string destination = pagePicture(s[2], policy.projectFolder, reason);
    if (!reason.empty()) return fail(reason);
    reply(control.Recalibrate(source, s[1], destination, s[3]));
  } else if (name == "GetSourceKey") {
    reply(control.GetSourceKey());
  } else if (name == "GetDestinationKey") {
    reply(control.GetDestinationKey());
  } else if (name == "PromptSnapshot") {
    control.PromptSnapshot();
    sendSnapshot();  // before the reply, so the download has begun when the promise settles
    reply(nullptr);
  } else if (name == "SetStartKey" || name == "SetEndKey") {
    if (!stringArg(a, 0, s[0])) return badArguments();
    if (name == "SetStartKey") control.SetStartKey(s[0]);
    if (name == "SetEndKey") control.SetEndKey(s[0]);
    reply(nullptr);
  } else {
    fail("unknown member " + maskPasswords(name));
  }
}

void WebSession::pollPosition() {
  if (!ui_->windowExists()) return;
  const std::uint64_t frames = framesDelivered_.load(std::memory_order_relaxed);
  if (frames == framesAtLastPoll_ && !moving_) return;
  framesAtLastPoll_ = frames;
  const std::array<float, 4> p{control_->GetBlendFactor(), control_->GetXOffset(),
                               control_->GetYOffset(), control_->GetZoomFactor()};
  if (p != lastPosition_) {
    lastPosition_ = p;
    moving_ = true;
    sendEvent("viewchange", positionDetail(p));
  } else if (moving_) {
    moving_ = false;
    sendEvent("motionend", positionDetail(p));
  }
}

}  // namespace vistel::web
