#pragma once

// How the stream reader reads a camera's first answer: which mode the
// Content-Type asks for, and whether the first part headers carry a length.
//
// Thread-safety: pure functions.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace vistel::detail {

// Bytes of the first response body the probe looks at.
inline constexpr std::size_t kProbeSniffBytes = 8192;

// 1 when the value starts with "image/jpeg", 2 when it starts with
// "multipart/x-mixed-replace" (both compared exactly, letter case included),
// else 0. For 2, when the value contains "boundary=", the text after its
// first occurrence up to the end of the value (quotes included, at most
// `maxBoundary` bytes) replaces `boundary`; otherwise `boundary` is untouched.
int modeFromContentType(std::string_view value, std::string& boundary, std::size_t maxBoundary);

// True when the text before the first zero byte of `data`, in lower case,
// contains "content-length:" (the stream's parts carry their length, so their
// header blocks differ from part to part).
bool announcesPartLength(const std::uint8_t* data, std::size_t size);

}  // namespace vistel::detail
