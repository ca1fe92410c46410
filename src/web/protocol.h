#pragma once

// The messages between a page's <vistel-viewer> and its session (described
// for users in docs/web.md). Text messages are JSON objects whose "t" names
// the kind; binary messages are pictures (a frame, or a snapshot to download)
// behind a small header.
//
// Page to server:
//   {"t":"hello","params":{NAME:VALUE...},"width":W,"height":H,"visible":B}
//   {"t":"call","id":N,"m":MEMBER,"a":[ARGS...]}     an automation member
//   {"t":"ack","seq":N}                               frame N is on the canvas
//   {"t":"answer","id":N,"v":VALUE}                   a dialog's answer (null: cancel)
//   {"t":"size","w":W,"h":H}  {"t":"show","v":B}
//   {"t":"down"|"up"|"move","b":0|2,"x":X,"y":Y}      pointer, frame pixels
//   {"t":"wheel","d":D}  {"t":"key","down":B,"code":C,"flags":F}
//   {"t":"command","c":2}                             copy the position
// Server to page:
//   {"t":"ready"}  {"t":"reply","id":N,"v":VALUE} or {"t":"reply","id":N,"error":TEXT}
//   {"t":"event","name":NAME,"detail":{...}}
//   {"t":"ask","id":N,"kind":KIND,...}                a dialog the page shows
//   binary "VFRM" seq(u32 LE) width(u16) height(u16) readyMs(u32) JPEG...
//     readyMs: the server's millisecond clock when the engine handed the
//     frame over (for measuring the delay the page adds on one machine)
//   binary "VSNP" nameLength(u16) name JPEG...
//
// Thread-safety: pure functions.

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

namespace vistel::web {

inline constexpr std::size_t kFrameHeaderBytes = 16;

enum class ClientKind {
  Invalid,
  Hello,
  Call,
  Ack,
  Answer,
  Size,
  Show,
  PointerDown,
  PointerUp,
  PointerMove,
  Wheel,
  Key,
  Command,
};

// One page message, checked for its kind's fields and types.
struct ClientMessage {
  ClientKind kind = ClientKind::Invalid;
  std::string error;            // why it is Invalid
  std::int64_t id = 0;          // Call, Answer
  std::string member;           // Call
  nlohmann::json args;          // Call: an array; Hello: the params object
  nlohmann::json value;         // Answer
  std::int64_t sequence = 0;    // Ack
  std::int32_t x = 0;           // pointer x, width, wheel delta, key code, command
  std::int32_t y = 0;           // pointer y, height, key flags
  std::int32_t button = 0;      // pointer: 0 left, 2 right
  bool flag = false;            // Show, Hello: visible; Key: down
  bool carriesProject = false;  // may be up to kMaxProjectBytes long
};

// Parses one text message. Invalid with a reason for anything malformed,
// including a message longer than its kind allows (kMaxCommandBytes, or
// kMaxProjectBytes for the ones that carry a project text).
[[nodiscard]] ClientMessage parseClientMessage(std::string_view text);

// Server messages.
[[nodiscard]] std::string replyMessage(std::int64_t id, const nlohmann::json& value);
[[nodiscard]] std::string errorReplyMessage(std::int64_t id, std::string_view error);
[[nodiscard]] std::string eventMessage(std::string_view name, const nlohmann::json& detail);

// The binary header of frame `sequence` of `width` x `height` (each below
// 65536), handed over by the engine at `readyMs`.
[[nodiscard]] std::string frameHeader(std::uint32_t sequence, std::int32_t width,
                                      std::int32_t height, std::uint32_t readyMs);
// Reads a frame header; false when `message` is no frame.
[[nodiscard]] bool readFrameHeader(std::string_view message, std::uint32_t& sequence,
                                   std::int32_t& width, std::int32_t& height,
                                   std::uint32_t& readyMs);
// A snapshot for the page to download as `name`.
[[nodiscard]] std::string snapshotMessage(std::string_view name, std::string_view jpeg);

}  // namespace vistel::web
