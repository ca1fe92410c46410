#pragma once

// Cuts a multipart/x-mixed-replace byte stream into its JPEG parts.
//
// The stream is read in steps of up to kStreamReadStep bytes through a callback
// (the network in the stream reader, memory in tests and benchmarks). Parts are
// delimited by a text searched with Boyer-Moore-Horspool: the server's
// boundary, or a delimiter learned from the stream itself:
//   - without learning switched off, the first part's whole header block (from
//     the delimiter match up to the blank line) becomes the delimiter, so every
//     later part must repeat that block byte for byte;
//   - with learning switched off (the parts carry a length, which changes), the
//     server's boundary is used as it is; when the server named none, the
//     first part's delimiter line ("--something") is learned instead.
// A picture is the body from after the part's blank line up to the next
// delimiter line: the delimiter match less the (up to) two dashes and the line
// break in front of it, which are the four bytes CR LF "--" before a server
// boundary, and the CR LF before a learned delimiter that starts with its
// dashes. A part whose headers give its Content-Length is handed out as soon
// as that many body bytes are there, without waiting for the next delimiter
// (most cameras send the delimiter before each part, so the next one comes a
// whole frame interval later), provided the body then ends with the JPEG
// end-of-image marker (before at most one CR LF); a length that does not meet
// that is not trusted, and the part is cut at the next delimiter instead, as
// are all later parts of the run. A delimiter found while a part's length is
// not all there waits for the rest: picture bytes may spell the boundary.
//
// Limits: the working buffer grows in kStreamReadStep steps only when less
// than one step is free; more than kMaxBytesWithoutDelimiter bytes read
// without finding a delimiter end the run (and switch learning off for the
// next run). Delimiters hold at most kMaxDelimiterLength bytes: a longer
// boundary or header block is cut to its first kMaxDelimiterLength bytes,
// which still begin every delimiter occurrence.
//
// Thread-safety: one thread uses a cutter at a time.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>

#include "vistel/imaging/horspool_search_p.h"

namespace vistel::detail {

inline constexpr std::size_t kStreamReadStep = 32768;
inline constexpr std::size_t kMaxBytesWithoutDelimiter = 0x100000;
inline constexpr std::size_t kMaxDelimiterLength = 1027;

class MultipartCutter {
 public:
  // Reads up to `size` bytes into `buffer`; returns the count, 0 when the
  // data ended or the read failed.
  using ReadFn = std::function<std::size_t(std::uint8_t* buffer, std::size_t size)>;
  // Receives one picture; the bytes are valid during the call only.
  using PartFn = std::function<void(const std::uint8_t* data, std::size_t size)>;
  // Asked before every step: true ends the run.
  using StopFn = std::function<bool()>;

  enum class Outcome {
    Stopped,      // the stop callback asked for it
    Ended,        // the data ended (or no usable delimiter is left)
    NoDelimiter,  // more than kMaxBytesWithoutDelimiter bytes without a delimiter
  };

  // `serverBoundary` is the text after "boundary=" in the Content-Type, as the
  // server gave it (possibly empty); one pair of enclosing double quotes is
  // removed for the search. `noLearn` switches header-block learning off.
  MultipartCutter(std::string_view serverBoundary, bool noLearn);

  // Reads and cuts until stopped, the data ends or no delimiter turns up.
  // Callable once per cutter (one connection).
  Outcome run(const ReadFn& read, const PartFn& part, const StopFn& stop);

  // Whether learning is off now (as constructed, or switched off by a run
  // that read too much without a delimiter).
  bool noLearn() const { return noLearn_; }
  // The delimiter text searched for at the end of the run.
  std::string_view delimiter() const { return delimiter_.pattern(); }
  // Largest working buffer held during the run, in bytes (for tests of the
  // memory bound).
  std::size_t peakBufferBytes() const { return peakBytes_; }

 private:
  // Makes room for one read step (growing by whole steps), reads, and applies
  // the limits. False with `outcome` set when the run must end.
  bool growAndRead(const ReadFn& read, Outcome& outcome);
  // Hands out the open part ending before the delimiter at `match` and keeps
  // only the bytes from its end on.
  void cut(std::size_t match, const PartFn& part);
  // Takes the header block [match, terminator) of a new part: learns the
  // delimiter where due, reads the part's length and opens the part's body.
  void openPart(std::size_t match, std::size_t terminator);
  // With the open part's announced length all there: hands the picture out
  // and closes the part, true; false when the length is not to be trusted.
  bool handOverByLength(const PartFn& part);
  void replaceBuffer(std::size_t capacity, std::size_t keepFrom);
  void setDelimiter(std::string_view text);

  static constexpr std::size_t none = static_cast<std::size_t>(-1);

  HorspoolSearch delimiter_;
  HorspoolSearch terminator_{"\r\n\r\n"};
  bool learned_ = false;
  bool noLearn_ = false;

  std::unique_ptr<std::uint8_t[]> buffer_;
  std::size_t capacity_ = 0;
  std::size_t filled_ = 0;          // valid bytes in buffer_
  std::size_t pos_ = 0;             // scan position
  std::size_t partStart_ = none;    // start of the open part's body
  std::size_t partLength_ = none;   // the open part's Content-Length, when trusted
  std::size_t grown_ = 0;           // bytes read since the last delimiter match
  std::size_t delimiterFrom_ = 0;   // delimiter positions before this are ruled out
  std::size_t terminatorFrom_ = 0;  // same for the header terminator
  std::size_t peakBytes_ = 0;
  bool ended_ = false;             // the data ended: read no more
  bool lengthsUntrusted_ = false;  // one part's length proved wrong: ignore lengths
};

}  // namespace vistel::detail
