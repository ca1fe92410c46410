#include <algorithm>
#include <cstring>

#include "vistel/imaging/multipart_cutter_p.h"

namespace vistel::detail {

namespace {

// RFC 2046 lets the boundary parameter be a quoted string; the delimiter lines
// carry it without the quotes.
std::string_view unquote(std::string_view boundary) {
  if (boundary.empty() || boundary.front() != '"') return boundary;
  boundary.remove_prefix(1);
  return boundary.substr(0, boundary.find('"'));
}

bool isLineBreak(std::uint8_t c) { return c == '\r' || c == '\n'; }

std::uint8_t lower(std::uint8_t c) {
  return c >= 'A' && c <= 'Z' ? static_cast<std::uint8_t>(c - 'A' + 'a') : c;
}

// The value of the first "Content-Length:" line (any letter case) of a part's
// header text; `none` when there is none or its value is not a plain number of
// at most `limit`.
std::size_t announcedLength(const std::uint8_t* text, std::size_t size, std::size_t limit,
                            std::size_t none) {
  constexpr std::string_view kKey = "content-length:";
  for (std::size_t line = 0; line < size;) {
    std::size_t end = line;
    while (end < size && text[end] != '\n') ++end;
    bool key = end - line >= kKey.size();
    for (std::size_t i = 0; key && i < kKey.size(); ++i)
      key = lower(text[line + i]) == static_cast<std::uint8_t>(kKey[i]);
    if (key) {
      std::size_t at = line + kKey.size();
      while (at < end && (text[at] == ' ' || text[at] == '\t')) ++at;
      std::size_t value = 0;
      std::size_t digits = 0;
      for (; at < end && text[at] >= '0' && text[at] <= '9'; ++at, ++digits) {
        value = value * 10 + static_cast<std::size_t>(text[at] - '0');
        if (value > limit) return none;
      }
      while (at < end && (text[at] == ' ' || text[at] == '\t' || text[at] == '\r')) ++at;
      return digits > 0 && at == end ? value : none;
    }
    line = end + 1;
  }
  return none;
}

}  // namespace

MultipartCutter::MultipartCutter(std::string_view serverBoundary, bool noLearn)
    : noLearn_(noLearn) {
  setDelimiter(unquote(serverBoundary).substr(0, kMaxDelimiterLength));
}

void MultipartCutter::setDelimiter(std::string_view text) { delimiter_.assign(text); }

void MultipartCutter::replaceBuffer(std::size_t capacity, std::size_t keepFrom) {
  auto fresh = std::make_unique_for_overwrite<std::uint8_t[]>(capacity);
  const std::size_t keep = filled_ - keepFrom;
  if (keep > 0) std::memcpy(fresh.get(), buffer_.get() + keepFrom, keep);
  buffer_ = std::move(fresh);
  capacity_ = capacity;
  filled_ = keep;
  peakBytes_ = std::max(peakBytes_, capacity);
}

bool MultipartCutter::growAndRead(const ReadFn& read, Outcome& outcome) {
  if (ended_) {
    outcome = Outcome::Ended;
    return false;
  }
  // Growing only when less than a step is free keeps a server that sends a
  // byte at a time from inflating the buffer by a step per byte.
  if (capacity_ - filled_ < kStreamReadStep) replaceBuffer(capacity_ + kStreamReadStep, 0);
  const std::size_t count = read(buffer_.get() + filled_, kStreamReadStep);
  filled_ += count;
  grown_ += count;
  if (count == 0) {
    ended_ = true;
    if (grown_ > kMaxBytesWithoutDelimiter) noLearn_ = true;
    outcome = Outcome::Ended;
    return false;
  }
  if (grown_ > kMaxBytesWithoutDelimiter) {
    // The learned block did not come back; the next connection cuts on the
    // server's boundary alone.
    noLearn_ = true;
    outcome = Outcome::NoDelimiter;
    return false;
  }
  return true;
}

void MultipartCutter::cut(std::size_t match, const PartFn& part) {
  // The picture ends where its delimiter line begins: before the line break
  // and the two dashes in front of the delimiter text, the four bytes CR LF
  // "--" of a line as RFC 2046 writes it. Only those bytes are taken off, so a
  // delimiter that carries its dashes itself (a learned block, a boundary
  // named with them) or a line without CR leaves the picture's end-of-image
  // marker in place. A match before the body (a delimiter inside the part's
  // own header text) gives no picture.
  std::size_t end = match;
  for (int dashes = 0; dashes < 2 && end > 0 && buffer_[end - 1] == '-'; ++dashes) --end;
  if (end > 0 && buffer_[end - 1] == '\n') --end;
  if (end > 0 && buffer_[end - 1] == '\r') --end;
  if (end > partStart_) part(buffer_.get() + partStart_, end - partStart_);
  const std::size_t tail = filled_ - end;
  // Rebuilt rather than shifted, so that one long part does not leave a large
  // buffer behind; the new one has room for the next read step.
  replaceBuffer(tail + kStreamReadStep, end);
  pos_ = match - end;
  partStart_ = none;
  partLength_ = none;
  delimiterFrom_ = 0;
  terminatorFrom_ = 0;
}

bool MultipartCutter::handOverByLength(const PartFn& part) {
  const std::size_t end = partStart_ + partLength_;
  std::size_t last = end;
  // Some cameras count the line break after the picture into the length.
  if (last - partStart_ >= 2 && buffer_[last - 2] == '\r' && buffer_[last - 1] == '\n') last -= 2;
  // A picture ends with its end-of-image marker; a length that stops anywhere
  // else would hand out a cut-off or run-on picture.
  if (last - partStart_ < 2 || buffer_[last - 2] != 0xFF || buffer_[last - 1] != 0xD9) {
    // A camera that gets one length wrong gets them all wrong; waiting for
    // each wrong length would only delay its pictures.
    partLength_ = none;
    lengthsUntrusted_ = true;
    return false;
  }
  part(buffer_.get() + partStart_, last - partStart_);
  replaceBuffer(filled_ - end + kStreamReadStep, end);
  pos_ = 0;
  partStart_ = none;
  partLength_ = none;
  grown_ = 0;
  delimiterFrom_ = 0;
  terminatorFrom_ = 0;
  return true;
}

void MultipartCutter::openPart(std::size_t match, std::size_t terminator) {
  std::size_t patternAt = match;
  if (!learned_ && (!noLearn_ || delimiter_.size() == 0)) {
    std::size_t from = match;
    std::size_t to = terminator;
    if (noLearn_) {
      // No boundary named and the part headers change from part to part (a
      // length each): only the delimiter line repeats.
      while (from < terminator && isLineBreak(buffer_[from])) ++from;
      to = from;
      while (to < terminator && !isLineBreak(buffer_[to])) ++to;
    }
    const std::size_t length = std::min(to - from, kMaxDelimiterLength);
    if (length > 0) {
      setDelimiter(std::string_view(reinterpret_cast<const char*>(buffer_.get() + from), length));
      learned_ = true;
      patternAt = from;
    }
  }
  partStart_ = terminator + 4;
  partLength_ = lengthsUntrusted_ ? none
                                  : announcedLength(buffer_.get() + match, terminator - match,
                                                    kMaxBytesWithoutDelimiter, none);
  grown_ = 0;
  // Resume after the delimiter text just used, so that the same occurrence is
  // not found again.
  pos_ = patternAt + delimiter_.size();
  delimiterFrom_ = 0;
  terminatorFrom_ = 0;
}

MultipartCutter::Outcome MultipartCutter::run(const ReadFn& read, const PartFn& part,
                                              const StopFn& stop) {
  buffer_.reset();
  capacity_ = filled_ = 0;
  replaceBuffer(kStreamReadStep, 0);
  filled_ = read(buffer_.get(), kStreamReadStep);
  pos_ = 0;
  partStart_ = none;
  partLength_ = none;
  grown_ = 0;
  delimiterFrom_ = terminatorFrom_ = 0;
  ended_ = filled_ == 0;
  lengthsUntrusted_ = false;
  Outcome outcome = Outcome::Ended;
  if (filled_ == 0) {
    buffer_.reset();
    return outcome;
  }

  for (;;) {
    if (stop()) {
      outcome = Outcome::Stopped;
      break;
    }
    // Checked before reading on: the next read may wait a whole frame interval.
    if (partStart_ != none && partLength_ != none && filled_ - partStart_ >= partLength_ &&
        handOverByLength(part)) {
      continue;
    }
    const std::size_t m = delimiter_.size();
    std::size_t match = none;
    if (filled_ - pos_ > m) {
      // Positions already ruled out by an earlier search over less data are
      // not searched again: the first match found is the same.
      const std::size_t from = std::max(pos_, delimiterFrom_);
      const std::size_t at = delimiter_.find(buffer_.get() + from, filled_ - from);
      if (at != HorspoolSearch::npos) match = from + at;
    }
    if (match == none) {
      if (filled_ - pos_ > m) delimiterFrom_ = filled_ - m + 1;
      if (!growAndRead(read, outcome)) break;
      continue;
    }
    grown_ = 0;

    if (partStart_ != none) {
      // Picture bytes may spell the boundary. While the part's announced
      // length is not all there, a match may lie inside its body: the rest
      // decides (handed out by the length, or cut here when the length proves
      // wrong or the data ends first), so the pictures do not depend on how
      // the network splits the stream.
      if (partLength_ != none) {
        if (growAndRead(read, outcome)) continue;
        if (outcome != Outcome::Ended) break;
      }
      cut(match, part);
      continue;
    }

    // A new part: its header block ends at the first blank line after the
    // delimiter.
    std::size_t terminator = none;
    for (;;) {
      const std::size_t from = std::max(match, terminatorFrom_);
      const std::size_t at = terminator_.find(buffer_.get() + from, filled_ - from);
      if (at != HorspoolSearch::npos) {
        terminator = from + at;
        break;
      }
      if (filled_ - from >= 4) terminatorFrom_ = filled_ - 3;
      if (stop()) {
        outcome = Outcome::Stopped;
        break;
      }
      if (!growAndRead(read, outcome)) break;
    }
    if (terminator == none) break;
    openPart(match, terminator);
    if (delimiter_.size() == 0) break;  // nothing to cut on: an empty text matches everywhere
  }
  buffer_.reset();
  capacity_ = filled_ = 0;
  return outcome;
}

}  // namespace vistel::detail
