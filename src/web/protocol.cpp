#include "vistel/web/protocol.h"

#include <limits>

#include "vistel/web/security.h"

namespace vistel::web {

namespace {

using nlohmann::json;

void putU16(std::string& out, std::uint32_t v) {
  out.push_back(static_cast<char>(v & 0xFF));
  out.push_back(static_cast<char>((v >> 8) & 0xFF));
}

void putU32(std::string& out, std::uint32_t v) {
  putU16(out, v & 0xFFFF);
  putU16(out, v >> 16);
}

std::uint32_t getU16(std::string_view s, std::size_t at) {
  return static_cast<std::uint8_t>(s[at]) |
         (static_cast<std::uint32_t>(static_cast<std::uint8_t>(s[at + 1])) << 8);
}

// A whole number field within the int32 range.
bool readInt(const json& object, const char* name, std::int32_t& out) {
  const auto it = object.find(name);
  if (it == object.end() || !it->is_number_integer()) return false;
  const auto v = it->get<std::int64_t>();
  if (v < std::numeric_limits<std::int32_t>::min() ||
      v > std::numeric_limits<std::int32_t>::max()) {
    return false;
  }
  out = static_cast<std::int32_t>(v);
  return true;
}

bool readId(const json& object, const char* name, std::int64_t& out) {
  const auto it = object.find(name);
  if (it == object.end() || !it->is_number_integer()) return false;
  out = it->get<std::int64_t>();
  return true;
}

bool readBool(const json& object, const char* name, bool& out) {
  const auto it = object.find(name);
  if (it == object.end() || !it->is_boolean()) return false;
  out = it->get<bool>();
  return true;
}

ClientMessage invalid(std::string reason) {
  ClientMessage m;
  m.error = std::move(reason);
  return m;
}

ClientMessage parsePointer(const json& object, ClientKind kind) {
  ClientMessage m;
  m.kind = kind;
  if (!readInt(object, "x", m.x) || !readInt(object, "y", m.y)) {
    return invalid("a pointer message needs whole x and y");
  }
  if (kind != ClientKind::PointerMove) {
    if (!readInt(object, "b", m.button) || (m.button != 0 && m.button != 2)) {
      return invalid("a pointer button is 0 or 2");
    }
  }
  return m;
}

}  // namespace

ClientMessage parseClientMessage(std::string_view text) {
  if (text.size() > kMaxProjectBytes) return invalid("message too large");
  json object = json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (!object.is_object()) return invalid("a message is one JSON object");
  const auto type = object.find("t");
  if (type == object.end() || !type->is_string()) return invalid("a message needs its kind \"t\"");
  const std::string& t = type->get_ref<const std::string&>();

  ClientMessage m;
  if (t == "hello") {
    m.kind = ClientKind::Hello;
    m.carriesProject = true;
    m.args = object.value("params", json::object());
    if (!m.args.is_object()) return invalid("hello params are an object");
    for (const auto& [name, value] : m.args.items()) {
      if (!value.is_string()) return invalid("param " + name + " is no text");
    }
    if (!readInt(object, "width", m.x) || !readInt(object, "height", m.y)) {
      return invalid("hello needs the width and height");
    }
    if (!readBool(object, "visible", m.flag)) m.flag = true;
  } else if (t == "call") {
    m.kind = ClientKind::Call;
    const auto member = object.find("m");
    if (!readId(object, "id", m.id) || member == object.end() || !member->is_string()) {
      return invalid("a call needs an id and a member");
    }
    m.member = member->get<std::string>();
    m.args = object.value("a", json::array());
    if (!m.args.is_array()) return invalid("call arguments are an array");
    m.carriesProject = m.member == "Project" || m.member == "SetProjectXMLBuffer";
  } else if (t == "ack") {
    m.kind = ClientKind::Ack;
    if (!readId(object, "seq", m.sequence)) return invalid("an ack needs seq");
  } else if (t == "answer") {
    m.kind = ClientKind::Answer;
    if (!readId(object, "id", m.id)) return invalid("an answer needs an id");
    m.value = object.value("v", json());
  } else if (t == "size") {
    m.kind = ClientKind::Size;
    if (!readInt(object, "w", m.x) || !readInt(object, "h", m.y)) return invalid("size needs w, h");
  } else if (t == "show") {
    m.kind = ClientKind::Show;
    if (!readBool(object, "v", m.flag)) return invalid("show needs v");
  } else if (t == "down") {
    m = parsePointer(object, ClientKind::PointerDown);
  } else if (t == "up") {
    m = parsePointer(object, ClientKind::PointerUp);
  } else if (t == "move") {
    m = parsePointer(object, ClientKind::PointerMove);
  } else if (t == "wheel") {
    m.kind = ClientKind::Wheel;
    if (!readInt(object, "d", m.x)) return invalid("wheel needs d");
  } else if (t == "key") {
    m.kind = ClientKind::Key;
    if (!readBool(object, "down", m.flag) || !readInt(object, "code", m.x) ||
        !readInt(object, "flags", m.y)) {
      return invalid("key needs down, code and flags");
    }
  } else if (t == "command") {
    m.kind = ClientKind::Command;
    if (!readInt(object, "c", m.x)) return invalid("command needs c");
  } else {
    return invalid("unknown message kind");
  }
  if (m.kind != ClientKind::Invalid && !m.carriesProject && text.size() > kMaxCommandBytes) {
    return invalid("message too large");
  }
  return m;
}

std::string replyMessage(std::int64_t id, const nlohmann::json& value) {
  return json{{"t", "reply"}, {"id", id}, {"v", value}}.dump(-1, ' ', false,
                                                             json::error_handler_t::replace);
}

std::string errorReplyMessage(std::int64_t id, std::string_view error) {
  return json{{"t", "reply"}, {"id", id}, {"error", std::string(error)}}.dump(
      -1, ' ', false, json::error_handler_t::replace);
}

std::string eventMessage(std::string_view name, const nlohmann::json& detail) {
  return json{{"t", "event"}, {"name", std::string(name)}, {"detail", detail}}.dump(
      -1, ' ', false, json::error_handler_t::replace);
}

std::string frameHeader(std::uint32_t sequence, std::int32_t width, std::int32_t height,
                        std::uint32_t readyMs) {
  std::string out = "VFRM";
  putU32(out, sequence);
  putU16(out, static_cast<std::uint32_t>(width) & 0xFFFF);
  putU16(out, static_cast<std::uint32_t>(height) & 0xFFFF);
  putU32(out, readyMs);
  return out;
}

bool readFrameHeader(std::string_view message, std::uint32_t& sequence, std::int32_t& width,
                     std::int32_t& height, std::uint32_t& readyMs) {
  if (message.size() < kFrameHeaderBytes || !message.starts_with("VFRM")) return false;
  sequence = getU16(message, 4) | (getU16(message, 6) << 16);
  width = static_cast<std::int32_t>(getU16(message, 8));
  height = static_cast<std::int32_t>(getU16(message, 10));
  readyMs = getU16(message, 12) | (getU16(message, 14) << 16);
  return true;
}

std::string snapshotMessage(std::string_view name, std::string_view jpeg) {
  std::string out = "VSNP";
  const std::string_view kept = name.substr(0, 255);
  putU16(out, static_cast<std::uint32_t>(kept.size()));
  out.append(kept);
  out.append(jpeg);
  return out;
}

}  // namespace vistel::web
