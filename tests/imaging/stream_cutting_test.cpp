// Deterministic tests of the stream reader's cutting, over in-memory streams:
// the delimiter search, the multipart cutter, the probe's header rules and
// the frame-rate pacing.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "support/http_test_server.h"
#include "support/test_jpeg.h"
#include "vistel/imaging/frame_pacer.h"
#include "vistel/imaging/horspool_search_p.h"
#include "vistel/imaging/jpeg_codec.h"
#include "vistel/imaging/multipart_cutter_p.h"
#include "vistel/imaging/stream_probe_p.h"

namespace vistel::detail {
namespace {

const auto* bytes(const std::string& text) {
  return reinterpret_cast<const std::uint8_t*>(text.data());
}

// ---- Delimiter search ------------------------------------------------------

std::size_t naiveFind(const std::string& text, const std::string& pattern) {
  if (pattern.empty()) return 0;
  for (std::size_t i = 0; i + pattern.size() <= text.size(); ++i)
    if (std::memcmp(text.data() + i, pattern.data(), pattern.size()) == 0) return i;
  return HorspoolSearch::npos;
}

std::string randomText(std::mt19937& rng, std::size_t length, const std::string& alphabet) {
  std::uniform_int_distribution<std::size_t> pick(0, alphabet.size() - 1);
  std::string out(length, '\0');
  for (auto& c : out) c = alphabet[pick(rng)];
  return out;
}

TEST(HorspoolSearch, AgreesWithNaiveSearchOnRandomData) {
  std::mt19937 rng(20240611);
  // Small alphabets give many partial matches; the high bytes check that
  // bytes index the table unsigned.
  const std::vector<std::string> alphabets = {"ab", "abc", "\r\n-", std::string("\x00\xff\x80", 3),
                                              "abcdefghijklmnopqrstuvwxyz0123456789"};
  // Patterns with repeated characters are where a wrong shift skips matches.
  const std::vector<std::string> fixed = {"aaa",      "aab", "abab",  "baaa",   "aaaaab",
                                          "\r\n\r\n", "--",  "----b", "\n\n\r", "abcab"};
  std::size_t checks = 0;
  std::size_t found = 0;
  for (int round = 0; round < 20000; ++round) {
    const std::string& alphabet = alphabets[static_cast<std::size_t>(round) % alphabets.size()];
    std::string pattern;
    if (round % 3 == 0) {
      pattern = fixed[static_cast<std::size_t>(round / 3) % fixed.size()];
    } else {
      pattern = randomText(rng, 1 + rng() % 12, alphabet);
    }
    const std::string text = randomText(rng, rng() % 200, alphabet + pattern);
    const HorspoolSearch search(pattern);
    const std::size_t expected = naiveFind(text, pattern);
    ASSERT_EQ(search.find(bytes(text), text.size()), expected)
        << "pattern '" << pattern << "' text '" << text << "'";
    found += expected != HorspoolSearch::npos;
    ++checks;
  }
  // The data must exercise both outcomes for the comparison to mean anything.
  EXPECT_GT(found, checks / 4);
  EXPECT_LT(found, checks - checks / 20);
}

TEST(HorspoolSearch, EdgeCases) {
  const HorspoolSearch empty;
  EXPECT_EQ(empty.find(nullptr, 0), 0u);
  EXPECT_EQ(empty.find(bytes("abc"), 3), 0u);

  const HorspoolSearch search("abc");
  EXPECT_EQ(search.find(bytes("ab"), 2), HorspoolSearch::npos);  // range shorter than pattern
  EXPECT_EQ(search.find(bytes("abc"), 3), 0u);
  EXPECT_EQ(search.find(bytes("xxabc"), 5), 2u);
  EXPECT_EQ(search.find(bytes("xxabc"), 4), HorspoolSearch::npos);  // the range is respected
  // "aaa" in "baaaa": a shift of the pattern length at the first mismatch would miss it.
  const HorspoolSearch repeated("aaa");
  EXPECT_EQ(repeated.find(bytes("baaaa"), 5), 1u);
}

// ---- Multipart cutter --------------------------------------------------------

struct CutResult {
  std::vector<std::string> parts;
  MultipartCutter::Outcome outcome = MultipartCutter::Outcome::Ended;
  bool noLearn = false;
  std::string delimiter;
  std::size_t bytesRead = 0;
  std::size_t peakBuffer = 0;
};

// Runs one cutter over `stream`, handing it out `readSize` bytes per read.
CutResult cut(const std::string& stream, std::string_view boundary, bool noLearn,
              std::size_t readSize = kStreamReadStep) {
  CutResult result;
  MultipartCutter cutter(boundary, noLearn);
  std::size_t offset = 0;
  result.outcome = cutter.run(
      [&](std::uint8_t* buffer, std::size_t size) {
        const std::size_t n = std::min({size, readSize, stream.size() - offset});
        std::memcpy(buffer, stream.data() + offset, n);
        offset += n;
        return n;
      },
      [&](const std::uint8_t* data, std::size_t size) {
        result.parts.emplace_back(reinterpret_cast<const char*>(data), size);
      },
      [] { return false; });
  result.noLearn = cutter.noLearn();
  result.delimiter = std::string(cutter.delimiter());
  result.bytesRead = offset;
  result.peakBuffer = cutter.peakBufferBytes();
  return result;
}

std::vector<std::string> testBodies(int count, std::size_t size) {
  std::vector<std::string> bodies;
  for (int i = 0; i < count; ++i) {
    std::string body = test::patternBytes(size + static_cast<std::size_t>(i) * 37,
                                          static_cast<std::uint32_t>(i + 1));
    // Picture data ends like a JPEG, so the two bytes the learned-block trim
    // takes are recognisable.
    body[body.size() - 2] = '\xFF';
    body[body.size() - 1] = '\xD9';
    bodies.push_back(std::move(body));
  }
  return bodies;
}

// Parts "--<line>\r\n<headers>\r\n\r\n<body>\r\n", as most cameras send them.
std::string multipart(const std::vector<std::string>& bodies, const std::string& line,
                      bool withLength, const std::string& extraHeader = "") {
  std::string out;
  for (const auto& body : bodies) {
    out += "--" + line + "\r\nContent-Type: image/jpeg\r\n";
    if (withLength) out += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    out += extraHeader;
    out += "\r\n" + body + "\r\n";
  }
  return out;
}

TEST(MultipartCutter, LearnsTheHeaderBlockWhenTheServerNamesNoBoundary) {
  const auto bodies = testBodies(5, 3000);
  const std::string stream = multipart(bodies, "myboundary", false);
  for (std::size_t readSize :
       {std::size_t{1}, std::size_t{7}, std::size_t{1000}, kStreamReadStep}) {
    const CutResult r = cut(stream, "", false, readSize);
    EXPECT_EQ(r.delimiter, "--myboundary\r\nContent-Type: image/jpeg") << readSize;
    // Each picture is the body up to the next block; the block starts with
    // its dashes, so only the CR LF before it goes. The last part has no
    // delimiter after it and is not handed out.
    ASSERT_EQ(r.parts.size(), bodies.size() - 1) << readSize;
    for (std::size_t i = 0; i + 1 < bodies.size(); ++i) EXPECT_EQ(r.parts[i], bodies[i]) << i;
    EXPECT_EQ(r.outcome, MultipartCutter::Outcome::Ended);
    EXPECT_FALSE(r.noLearn);
  }
}

TEST(MultipartCutter, CutsOnTheServerBoundaryWhenPartsCarryALength) {
  const auto bodies = testBodies(6, 5000);
  const std::string stream = multipart(bodies, "myboundary", true);
  for (std::size_t readSize :
       {std::size_t{1}, std::size_t{3}, std::size_t{4096}, kStreamReadStep}) {
    const CutResult r = cut(stream, "myboundary", true, readSize);
    EXPECT_EQ(r.delimiter, "myboundary");
    // Each part is handed out by its length, the last one too, although no
    // delimiter follows it. The bodies come out whole.
    ASSERT_EQ(r.parts.size(), bodies.size()) << readSize;
    for (std::size_t i = 0; i < bodies.size(); ++i) EXPECT_EQ(r.parts[i], bodies[i]) << i;
  }
  // Without the lengths the same parts are delimited by the boundary text,
  // ending four bytes before it (the CR LF and the two dashes).
  const CutResult r = cut(multipart(bodies, "myboundary", false), "myboundary", true);
  ASSERT_EQ(r.parts.size(), bodies.size() - 1);
  for (std::size_t i = 0; i + 1 < bodies.size(); ++i) EXPECT_EQ(r.parts[i], bodies[i]) << i;
}

// Reads the stream in the given pieces and notes, for each picture handed
// out, how many reads had been made by then.
std::vector<std::size_t> readsBeforeEachPart(const std::vector<std::string>& pieces,
                                             std::string_view boundary, bool noLearn,
                                             std::vector<std::string>* parts = nullptr) {
  MultipartCutter cutter(boundary, noLearn);
  std::size_t reads = 0;
  std::vector<std::size_t> out;
  (void)cutter.run(
      [&](std::uint8_t* buffer, std::size_t size) -> std::size_t {
        if (reads == pieces.size()) return 0;
        const std::string& piece = pieces[reads++];
        EXPECT_LE(piece.size(), size);
        std::memcpy(buffer, piece.data(), piece.size());
        return piece.size();
      },
      [&](const std::uint8_t* data, std::size_t size) {
        out.push_back(reads);
        if (parts) parts->emplace_back(reinterpret_cast<const char*>(data), size);
      },
      [] { return false; });
  return out;
}

TEST(MultipartCutter, PartWithALengthIsHandedOutBeforeTheNextRead) {
  // Each read brings one part up to the end of its body; what follows it
  // (the line break, the next part) comes with the next read, a frame
  // interval later on a real camera.
  const auto bodies = testBodies(4, 3000);
  const std::string stream = multipart(bodies, "myboundary", true);
  std::vector<std::string> pieces;
  std::size_t from = 0;
  for (const auto& body : bodies) {
    const std::size_t end = stream.find(body, from) + body.size();
    pieces.push_back(stream.substr(from, end - from));
    from = end;
  }
  pieces.push_back(stream.substr(from));
  std::vector<std::string> parts;
  EXPECT_EQ(readsBeforeEachPart(pieces, "myboundary", true, &parts),
            (std::vector<std::size_t>{1, 2, 3, 4}));
  EXPECT_EQ(parts, bodies);

  // The delimiter after each part, as some cameras send it: the length hands
  // each part out with the read that completes it. The first part, which has
  // no delimiter before it, is lost.
  pieces.clear();
  for (const auto& body : bodies) {
    pieces.push_back("Content-Type: image/jpeg\r\nContent-Length: " + std::to_string(body.size()) +
                     "\r\n\r\n" + body);
    pieces.push_back("\r\n--myboundary\r\n");
  }
  parts.clear();
  EXPECT_EQ(readsBeforeEachPart(pieces, "myboundary", true, &parts),
            (std::vector<std::size_t>{3, 5, 7}));
  EXPECT_EQ(parts, (std::vector<std::string>(bodies.begin() + 1, bodies.end())));
}

TEST(MultipartCutter, BoundaryTextInsideABodyWithALengthDoesNotCutIt) {
  auto bodies = testBodies(3, 2000);
  bodies[1].replace(700, 14, "\r\n--myboundary");
  const std::string stream = multipart(bodies, "myboundary", true);
  // However the reads fall, the length decides before the text in the body.
  for (std::size_t readSize : {std::size_t{1}, std::size_t{64}, std::size_t{1500}, kStreamReadStep})
    EXPECT_EQ(cut(stream, "myboundary", true, readSize).parts, bodies) << readSize;
  // A stream that ends inside such a part is cut at the text: nothing else is left.
  const CutResult r = cut(stream.substr(0, stream.find(bodies[1]) + 1000), "myboundary", true, 64);
  ASSERT_EQ(r.parts.size(), 2u);
  EXPECT_EQ(r.parts[1], bodies[1].substr(0, 700));
}

TEST(MultipartCutter, LengthThatMissesTheEndOfThePictureIsNotTrusted) {
  const auto bodies = testBodies(3, 1000);
  // Counting the line break after the picture is fine: it is left out.
  std::string stream;
  for (const auto& body : bodies)
    stream +=
        "--cam\r\nContent-Length: " + std::to_string(body.size() + 2) + "\r\n\r\n" + body + "\r\n";
  CutResult r = cut(stream, "cam", true);
  EXPECT_EQ(r.parts, bodies);
  // Too long or too short: cut at the next delimiter as without a length.
  for (const std::size_t wrong : {std::size_t{999}, std::size_t{1001}, std::size_t{5000}}) {
    stream.clear();
    for (const auto& body : bodies)
      stream += "--cam\r\ncontent-length:" + std::to_string(wrong) + "\r\n\r\n" + body + "\r\n";
    r = cut(stream, "cam", true);
    ASSERT_EQ(r.parts.size(), 2u) << wrong;
    EXPECT_EQ(r.parts[0], bodies[0]);
    EXPECT_EQ(r.parts[1], bodies[1]);
  }
  // Lengths that are no plain number are not read at all.
  for (const char* text : {"12x", "-5", "", "99999999999999999999"}) {
    stream = "--cam\r\nContent-Length: " + std::string(text) + "\r\n\r\n" + bodies[0] + "\r\n";
    EXPECT_TRUE(cut(stream, "cam", true).parts.empty()) << text;
  }
}

TEST(MultipartCutter, LearnsFromTheServerBoundaryWithoutLengths) {
  // A server boundary with constant part headers: the block from the boundary
  // match on is learned, and the pictures come out whole.
  const auto bodies = testBodies(4, 2000);
  const CutResult r = cut(multipart(bodies, "myboundary", false), "myboundary", false);
  EXPECT_EQ(r.delimiter, "myboundary\r\nContent-Type: image/jpeg");
  ASSERT_EQ(r.parts.size(), 3u);
  for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(r.parts[i], bodies[i]);
}

TEST(MultipartCutter, RealJpegPartsDecode) {
  std::vector<std::string> jpegs;
  for (std::uint32_t seed = 1; seed <= 4; ++seed)
    jpegs.push_back(test::encodeTestJpeg(test::noiseScene(64, 48, seed), 64, 48));
  for (const bool learned : {true, false}) {
    const CutResult r = learned ? cut(multipart(jpegs, "myboundary", false), "", false)
                                : cut(multipart(jpegs, "myboundary", true), "myboundary", true);
    // With lengths the last part comes out too.
    ASSERT_EQ(r.parts.size(), learned ? 3u : 4u);
    for (std::size_t i = 0; i < r.parts.size(); ++i) {
      const std::string& part = r.parts[i];
      EXPECT_EQ(part, jpegs[i]);
      DecodedPicture picture;
      EXPECT_EQ(decodeJpeg(bytes(part), part.size(), picture), JpegResult::Ok) << learned;
      EXPECT_EQ(picture.width, 64);
      EXPECT_EQ(picture.height, 48);
    }
  }
}

TEST(MultipartCutter, QuotedBoundaryIsSearchedWithoutItsQuotes) {
  const auto bodies = testBodies(3, 800);
  const CutResult r = cut(multipart(bodies, "myboundary", false), "\"myboundary\"", true);
  EXPECT_EQ(r.delimiter, "myboundary");
  ASSERT_EQ(r.parts.size(), 2u);
  EXPECT_EQ(r.parts[0], bodies[0]);
  EXPECT_EQ(r.parts[1], bodies[1]);
  // Anything after the closing quote is not part of the boundary either.
  EXPECT_EQ(cut("x", "\"abc\"; charset=x", true).delimiter, "abc");
}

TEST(MultipartCutter, BoundaryThatAlreadyStartsWithDashes) {
  const auto bodies = testBodies(3, 900);
  // Lines as RFC 2046 writes them for that boundary: two more dashes.
  CutResult r = cut(multipart(bodies, "--myboundary", false), "--myboundary", true);
  ASSERT_EQ(r.parts.size(), 2u);
  EXPECT_EQ(r.parts[0], bodies[0]);
  // Cameras that write the boundary as the whole line: only the CR LF stands
  // before it, and the picture keeps its end-of-image marker.
  std::string stream;
  for (const auto& body : bodies) stream += "--myboundary\r\nX-Frame: 1\r\n\r\n" + body + "\r\n";
  r = cut(stream, "--myboundary", true);
  ASSERT_EQ(r.parts.size(), 2u);
  EXPECT_EQ(r.parts[0], bodies[0]);
  EXPECT_EQ(r.parts[1], bodies[1]);
}

TEST(MultipartCutter, MissingFirstDelimiterLosesOnlyTheFirstPicture) {
  const auto bodies = testBodies(4, 1200);
  // The server starts with the first body, without delimiter or headers.
  const std::string stream =
      bodies[0] + "\r\n" + multipart({bodies[1], bodies[2], bodies[3]}, "myboundary", true);
  const CutResult r = cut(stream, "myboundary", true);
  ASSERT_EQ(r.parts.size(), 3u);
  EXPECT_EQ(r.parts[0], bodies[1]);
  EXPECT_EQ(r.parts[2], bodies[3]);
}

TEST(MultipartCutter, PreambleWithBlankLinesBeforeTheFirstDelimiter) {
  const auto bodies = testBodies(3, 700);
  const std::string preamble = "This is a multipart stream.\r\n\r\nReally.\r\n\r\n";
  CutResult r = cut(preamble + multipart(bodies, "myboundary", true), "myboundary", true);
  ASSERT_EQ(r.parts.size(), 3u);
  EXPECT_EQ(r.parts[0], bodies[0]);
  // A stream that opens with a blank line learns it as part of the block;
  // the block then matches right after each body.
  r = cut("\r\n" + multipart(bodies, "myboundary", false), "", false);
  EXPECT_EQ(r.delimiter, "\r\n--myboundary\r\nContent-Type: image/jpeg");
  ASSERT_EQ(r.parts.size(), 2u);
  EXPECT_EQ(r.parts[0], bodies[0]);
  EXPECT_EQ(r.parts[1], bodies[1]);
}

TEST(MultipartCutter, LyingContentLengthDoesNotMatter) {
  const auto bodies = testBodies(4, 1500);
  std::string stream;
  for (const auto& body : bodies)
    stream += "--cam\r\nContent-Type: image/jpeg\r\nContent-Length: 17\r\n\r\n" + body + "\r\n";
  const CutResult r = cut(stream, "cam", true);
  ASSERT_EQ(r.parts.size(), 3u);
  for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(r.parts[i], bodies[i]);
}

TEST(MultipartCutter, OnlyTheDelimiterLineFramingIsTakenOff) {
  const auto bodies = testBodies(3, 400);
  const std::string head = "Content-Type: image/jpeg\r\n\r\n";
  // Line breaks without CR, and a body that ends in its own CR LF: one line
  // break and the dashes go, nothing of the body.
  std::string stream;
  for (const auto& body : bodies) stream += "--cam\n" + head + body + "\r\n\n";
  CutResult r = cut(stream, "cam", true);
  ASSERT_EQ(r.parts.size(), 2u);
  EXPECT_EQ(r.parts[0], bodies[0] + "\r\n");
  // A server that puts the boundary right after the body: nothing to take off.
  stream.clear();
  for (const auto& body : bodies) stream += "cam\r\n" + head + body;
  r = cut(stream, "cam", true);
  ASSERT_EQ(r.parts.size(), 2u);
  EXPECT_EQ(r.parts[0], bodies[0]);
  EXPECT_EQ(r.parts[1], bodies[1]);
}

TEST(MultipartCutter, NoServerBoundaryWithPerPartLengthsLearnsTheDelimiterLine) {
  const auto bodies = testBodies(5, 1100);
  // What the probe decides for such a camera: no boundary, learning off.
  const CutResult r = cut(multipart(bodies, "frame", true), "", true);
  EXPECT_EQ(r.delimiter, "--frame");
  EXPECT_EQ(r.parts, bodies);
}

TEST(MultipartCutter, ChangingHeadersEndTheLearningAfterOneMebibyte) {
  // No boundary, no lengths, but a per-part timestamp: the learned block
  // never comes back. After 1 MiB the run ends with learning off; the next
  // connection cuts on the delimiter line.
  std::string stream;
  std::vector<std::string> bodies = testBodies(300, 4000);
  for (std::size_t i = 0; i < bodies.size(); ++i)
    stream += "--frame\r\nContent-Type: image/jpeg\r\nX-Timestamp: " + std::to_string(1000 + i) +
              "\r\n\r\n" + bodies[i] + "\r\n";
  ASSERT_GT(stream.size(), kMaxBytesWithoutDelimiter + kStreamReadStep);
  const CutResult first = cut(stream, "", false);
  EXPECT_EQ(first.outcome, MultipartCutter::Outcome::NoDelimiter);
  EXPECT_TRUE(first.noLearn);
  EXPECT_TRUE(first.parts.empty());
  EXPECT_GT(first.bytesRead, kMaxBytesWithoutDelimiter);
  EXPECT_LE(first.bytesRead, kMaxBytesWithoutDelimiter + 2 * kStreamReadStep);

  const CutResult second = cut(stream, "", first.noLearn);
  EXPECT_EQ(second.delimiter, "--frame");
  ASSERT_EQ(second.parts.size(), bodies.size() - 1);
  EXPECT_EQ(second.parts[7], bodies[7]);
}

TEST(MultipartCutter, EndlessDataWithoutDelimiterStaysBounded) {
  const std::string garbage = test::patternBytes(3 * kMaxBytesWithoutDelimiter, 77);
  for (std::size_t readSize : {std::size_t{1}, std::size_t{500}, kStreamReadStep}) {
    const CutResult r = cut(garbage, "myboundary", false, readSize);
    EXPECT_EQ(r.outcome, MultipartCutter::Outcome::NoDelimiter) << readSize;
    EXPECT_TRUE(r.noLearn);
    EXPECT_TRUE(r.parts.empty());
    EXPECT_LE(r.bytesRead, kMaxBytesWithoutDelimiter + 2 * kStreamReadStep);
    // One read step of slack beyond the data, however small the reads.
    EXPECT_LE(r.peakBuffer, kMaxBytesWithoutDelimiter + 3 * kStreamReadStep) << readSize;
  }
  // Data that ends early: the run ends without switching learning off.
  const CutResult shortRun = cut(garbage.substr(0, 5000), "", false);
  EXPECT_EQ(shortRun.outcome, MultipartCutter::Outcome::Ended);
  EXPECT_FALSE(shortRun.noLearn);
}

TEST(MultipartCutter, SlowTrickleKeepsTheBufferSmall) {
  const auto bodies = testBodies(3, 20000);
  const CutResult r = cut(multipart(bodies, "myboundary", false), "myboundary", true, 1);
  ASSERT_EQ(r.parts.size(), 2u);
  EXPECT_EQ(r.parts[1], bodies[1]);
  // A part's bytes plus at most two read steps, not a step per read.
  EXPECT_LE(r.peakBuffer, 21000 + 2 * kStreamReadStep);
}

TEST(MultipartCutter, LongDelimitersAreBounded) {
  const auto bodies = testBodies(3, 2500);
  const std::string longBoundary(2000, 'q');
  CutResult r = cut(multipart(bodies, longBoundary, false), longBoundary, true);
  EXPECT_EQ(r.delimiter.size(), kMaxDelimiterLength);
  ASSERT_EQ(r.parts.size(), 2u);
  EXPECT_EQ(r.parts[0], bodies[0]);
  EXPECT_EQ(r.parts[1], bodies[1]);

  // A learned block longer than the bound: its first bytes still start every block.
  const std::string header = "X-Info: " + std::string(1500, 'i') + "\r\n";
  r = cut(multipart(bodies, "myboundary", false, header), "", false);
  EXPECT_EQ(r.delimiter.size(), kMaxDelimiterLength);
  EXPECT_EQ(r.delimiter.substr(0, 14), "--myboundary\r\n");
  ASSERT_EQ(r.parts.size(), 2u);
  EXPECT_EQ(r.parts[0], bodies[0]);
  EXPECT_EQ(r.parts[1], bodies[1]);
}

TEST(MultipartCutter, DelimiterInsideThePartHeadersGivesNoEmptyOrOutOfRangePicture) {
  // The boundary text also appears in a part's own header (before its body):
  // the match ends "before" the body; no picture is made from it and the real
  // delimiter still ends the part.
  const auto bodies = testBodies(4, 600);
  std::string stream;
  for (const auto& body : bodies) stream += "--XY\r\nX-Note: XY XY\r\n\r\n" + body + "\r\n";
  for (std::size_t readSize : {std::size_t{1}, kStreamReadStep}) {
    const CutResult r = cut(stream, "XY", true, readSize);
    ASSERT_EQ(r.parts.size(), 3u) << readSize;
    for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(r.parts[i], bodies[i]);
  }
  // Delimiters right at the start and back to back: nothing before offset 0.
  const CutResult r = cut("XYXY\r\n\r\nXYXY\r\n\r\nbodyXY\r\n\r\nXY", "XY", true);
  for (const auto& part : r.parts) EXPECT_FALSE(part.empty());
}

TEST(MultipartCutter, EmptyOrHeaderlessStreams) {
  EXPECT_EQ(cut("", "b", false).outcome, MultipartCutter::Outcome::Ended);
  // Only line breaks before the blank line: nothing to learn, nothing to cut on.
  const CutResult r = cut("\r\n\r\n\r\nbody\r\n\r\n", "", false);
  EXPECT_EQ(r.outcome, MultipartCutter::Outcome::Ended);
  EXPECT_TRUE(r.parts.empty());
}

TEST(MultipartCutter, StopEndsTheRun) {
  const auto bodies = testBodies(10, 500);
  const std::string stream = multipart(bodies, "myboundary", true);
  MultipartCutter cutter("myboundary", true);
  std::size_t offset = 0;
  int parts = 0;
  const auto outcome = cutter.run(
      [&](std::uint8_t* buffer, std::size_t size) {
        const std::size_t n = std::min({size, std::size_t{100}, stream.size() - offset});
        std::memcpy(buffer, stream.data() + offset, n);
        offset += n;
        return n;
      },
      [&](const std::uint8_t*, std::size_t) { ++parts; }, [&] { return parts >= 3; });
  EXPECT_EQ(outcome, MultipartCutter::Outcome::Stopped);
  EXPECT_EQ(parts, 3);
  EXPECT_LT(offset, stream.size());
}

// ---- Probe rules ------------------------------------------------------------

TEST(StreamProbe, ModeFromContentType) {
  std::string boundary = "old";
  EXPECT_EQ(modeFromContentType("image/jpeg", boundary, 1027), 1);
  EXPECT_EQ(modeFromContentType("image/jpeg; q=1", boundary, 1027), 1);
  EXPECT_EQ(modeFromContentType("Image/JPEG", boundary, 1027), 0);  // exact, letter case too
  EXPECT_EQ(modeFromContentType("image/jpg", boundary, 1027), 0);
  EXPECT_EQ(modeFromContentType("application/octet-stream", boundary, 1027), 0);
  EXPECT_EQ(modeFromContentType("", boundary, 1027), 0);
  EXPECT_EQ(boundary, "old");

  EXPECT_EQ(modeFromContentType("multipart/x-mixed-replace", boundary, 1027), 2);
  EXPECT_EQ(boundary, "old");  // no boundary named: left as it was
  EXPECT_EQ(modeFromContentType("multipart/x-mixed-replace; boundary=myboundary", boundary, 1027),
            2);
  EXPECT_EQ(boundary, "myboundary");
  EXPECT_EQ(modeFromContentType("multipart/x-mixed-replace;boundary=\"q b\"", boundary, 1027), 2);
  EXPECT_EQ(boundary, "\"q b\"");  // copied unchanged, quotes included
  EXPECT_EQ(modeFromContentType("multipart/x-mixed-replace;boundary=a;boundary=b", boundary, 1027),
            2);
  EXPECT_EQ(boundary, "a;boundary=b");  // after the first occurrence, to the end
  EXPECT_EQ(modeFromContentType("multipart/x-mixed-replace;boundary=" + std::string(3000, 'z'),
                                boundary, 1027),
            2);
  EXPECT_EQ(boundary.size(), 1027u);
  EXPECT_EQ(modeFromContentType("multipart/x-mixed-replac", boundary, 1027), 0);
}

TEST(StreamProbe, PartLengthSniffStopsAtTheFirstZeroByte) {
  const std::string withLength = "--b\r\nContent-Type: image/jpeg\r\nCONTENT-length: 5\r\n\r\n";
  EXPECT_TRUE(announcesPartLength(bytes(withLength), withLength.size()));
  const std::string without = "--b\r\nContent-Type: image/jpeg\r\n\r\n";
  EXPECT_FALSE(announcesPartLength(bytes(without), without.size()));
  const std::string spaced = "--b\r\nContent-Length : 5\r\n\r\n";
  EXPECT_FALSE(announcesPartLength(bytes(spaced), spaced.size()));
  std::string afterZero = without + std::string(1, '\0') + withLength;
  EXPECT_FALSE(announcesPartLength(bytes(afterZero), afterZero.size()));
  EXPECT_FALSE(announcesPartLength(nullptr, 0));
}

// ---- Frame-rate pacing ----------------------------------------------------------

// Which of `count` parts, arriving every `gap` ms, are marked ready.
std::vector<bool> readyMarks(FramePacer& pacer, float frameRate, int count, std::uint32_t gap,
                             std::uint32_t& now) {
  std::vector<bool> marks;
  for (int i = 0; i < count; ++i) {
    now += gap;
    marks.push_back(pacer.partStored(now, frameRate));
  }
  return marks;
}

TEST(FramePacer, NegativeRateMarksEveryPicture) {
  FramePacer pacer;
  std::uint32_t now = 5000;
  pacer.restart(now);
  for (bool mark : readyMarks(pacer, -1.0f, 20, 3, now)) EXPECT_TRUE(mark);
}

TEST(FramePacer, ZeroRateMarksOnlyTheFirstPictureEver) {
  FramePacer pacer;
  std::uint32_t now = 5000;
  pacer.restart(now);
  const auto marks = readyMarks(pacer, 0.0f, 10, 1000, now);
  EXPECT_TRUE(marks[0]);
  for (std::size_t i = 1; i < marks.size(); ++i) EXPECT_FALSE(marks[i]) << i;
  pacer.restart(now);  // a new start does not make the next picture "first"
  EXPECT_FALSE(pacer.partStored(now + 100000, 0.0f));
}

// Marks over `seconds` of a camera sending `cameraFps` pictures a second,
// each up to `jitterMs` early or late (a fixed pseudo-random sequence).
int marksOverCamera(float cameraFps, float wantedFps, int seconds, int jitterMs) {
  FramePacer pacer;
  std::mt19937 rng(7);
  std::uniform_int_distribution<int> jitter(-jitterMs, jitterMs);
  const std::uint32_t start = 0xFFFF0000u;  // across the wrap on the way
  pacer.restart(start);
  int marks = 0;
  const int pictures = static_cast<int>(cameraFps) * seconds;
  for (int i = 1; i <= pictures; ++i) {
    const double ideal = i * 1000.0 / cameraFps;
    const auto at = start + static_cast<std::uint32_t>(ideal + (jitterMs ? jitter(rng) : 0));
    marks += pacer.partStored(at, wantedFps);
  }
  return marks;
}

TEST(FramePacer, CameraAtTheWantedRateHasEveryPictureMarkedDespiteJitter) {
  for (const float fps : {15.0f, 25.0f, 10.0f, 2.0f}) {
    const int pictures = static_cast<int>(fps) * 20;
    EXPECT_EQ(marksOverCamera(fps, fps, 20, 0), pictures) << fps;
    // Jitter of up to a fifth of an interval either way loses nothing either.
    EXPECT_EQ(marksOverCamera(fps, fps, 20, static_cast<int>(200 / fps)), pictures) << fps;
  }
}

TEST(FramePacer, FasterCameraHasTheWantedNumberMarked) {
  // 20 s of a 25 fps camera: 10, 7.5 and 1 pictures a second wanted.
  EXPECT_NEAR(marksOverCamera(25, 10, 20, 5), 200, 1);
  EXPECT_NEAR(marksOverCamera(25, 7.5f, 20, 5), 150, 1);
  EXPECT_NEAR(marksOverCamera(25, 1, 20, 5), 20, 1);
  EXPECT_NEAR(marksOverCamera(30, 15, 20, 3), 300, 1);
}

TEST(FramePacer, GapStartsTheScheduleAgainWithoutABurst) {
  FramePacer pacer;
  std::uint32_t now = 1000;
  pacer.restart(now);
  EXPECT_TRUE(pacer.partStored(now += 100, 10.0f));
  EXPECT_TRUE(pacer.partStored(now += 100, 10.0f));
  // Two seconds without a picture, then the camera sends at its rate again:
  // every picture is marked, none twice, none owed from the gap.
  now += 2000;
  std::vector<bool> marks;
  for (int i = 0; i < 6; ++i) marks.push_back(pacer.partStored(now += i == 0 ? 0 : 100, 10.0f));
  EXPECT_EQ(marks, std::vector<bool>(6, true));
  // A camera sending twice as fast after the gap: every other picture.
  marks.clear();
  now += 3000;
  for (int i = 0; i < 6; ++i) marks.push_back(pacer.partStored(now += 50, 10.0f));
  EXPECT_EQ(marks, (std::vector<bool>{true, false, true, false, true, false}));
  EXPECT_EQ(pacer.lastPartTime(), now);
}

TEST(FramePacer, CountsAcrossTheClockWrap) {
  FramePacer pacer;
  std::uint32_t now = 0xFFFFFF00u;
  pacer.restart(now);
  EXPECT_TRUE(pacer.partStored(now += 10, 4.0f));    // the first; the next is due 250 ms later
  EXPECT_FALSE(pacer.partStored(now += 100, 4.0f));  // more than half an interval early
  now += 150;                                        // wrapped past 0
  EXPECT_LT(now, 0x100u);
  EXPECT_TRUE(pacer.partStored(now, 4.0f));  // due
}

}  // namespace
}  // namespace vistel::detail
