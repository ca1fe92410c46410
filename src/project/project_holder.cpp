#include "vistel/project/project_holder.h"

// The entity-expansion limits are declared only for a library built with DTD
// support, which the system's expat is; without it the link fails rather than
// leaving documents unprotected.
#ifndef XML_DTD
#define XML_DTD 1
#endif
#include <expat.h>

#include <algorithm>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <span>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "vistel/project/encoding.h"
#include "vistel/project/project_holder_p.h"

namespace vistel {

namespace detail {

namespace {

// expat's defaults, set explicitly so that a library built with other defaults
// still stops entity-expansion bombs: expansion may not exceed 100 times the
// input once 8 MiB have been produced.
constexpr float kMaxAmplification = 100.0f;
constexpr unsigned long long kAmplificationThreshold = 8ull << 20;

constexpr std::size_t kInitialTextCapacity = 1024;

enum class Tag : std::uint8_t {
  Quilo,
  Templates,
  View,
  Button,
  Shape,
  Edge,
  Link,
  Lens,
  Embed,
  Key,
  Points,
  Preload,
  Script,
  Set,
  Play,
  Other,
};

bool is(const char* name, const char* known) { return std::strcmp(name, known) == 0; }

// Names are matched exactly; the first letter narrows the candidates.
Tag classify(const char* n) {
  switch (n[0]) {
    case 'b':
      return is(n, "button") ? Tag::Button : Tag::Other;
    case 'e':
      if (is(n, "edge")) return Tag::Edge;
      return is(n, "embed") ? Tag::Embed : Tag::Other;
    case 'k':
      return is(n, "key") ? Tag::Key : Tag::Other;
    case 'l':
      if (is(n, "link")) return Tag::Link;
      return is(n, "lens") ? Tag::Lens : Tag::Other;
    case 'p':
      if (is(n, "points")) return Tag::Points;
      if (is(n, "preload")) return Tag::Preload;
      return is(n, "play") ? Tag::Play : Tag::Other;
    case 'q':
      return is(n, "quilo") ? Tag::Quilo : Tag::Other;
    case 's':
      if (is(n, "shape")) return Tag::Shape;
      if (is(n, "script")) return Tag::Script;
      return is(n, "set") ? Tag::Set : Tag::Other;
    case 't':
      return is(n, "templates") ? Tag::Templates : Tag::Other;
    case 'v':
      return is(n, "view") ? Tag::View : Tag::Other;
    default:
      return Tag::Other;
  }
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// The longest leading decimal number of [b, e) (optional sign, digits with an
// optional fraction, optional exponent), 0 when there is none. Unlike strtod
// it accepts no hexadecimal, infinity or NaN forms and ignores the locale.
double decimalPrefix(const char* b, const char* e) {
  const char* p = b;
  bool negative = false;
  if (p < e && (*p == '+' || *p == '-')) {
    negative = *p == '-';
    ++p;
  }
  const char* digits = p;
  while (p < e && isDigit(*p)) ++p;
  const std::size_t intDigits = static_cast<std::size_t>(p - digits);
  std::size_t fracDigits = 0;
  if (p < e && *p == '.') {
    const char* f = p + 1;
    while (f < e && isDigit(*f)) ++f;
    fracDigits = static_cast<std::size_t>(f - p - 1);
    if (intDigits + fracDigits > 0) p = f;
  }
  if (intDigits + fracDigits == 0) return 0.0;
  long long exponent = 0;
  if (p < e && (*p == 'e' || *p == 'E')) {
    const char* x = p + 1;
    bool negativeExponent = false;
    if (x < e && (*x == '+' || *x == '-')) negativeExponent = *x++ == '-';
    if (x < e && isDigit(*x)) {
      while (x < e && isDigit(*x)) {
        if (exponent < 1'000'000'000) exponent = exponent * 10 + (*x - '0');
        ++x;
      }
      if (negativeExponent) exponent = -exponent;
      p = x;
    }
  }
  double value = 0.0;
  const auto result = std::from_chars(digits, p, value, std::chars_format::general);
  if (result.ec == std::errc::result_out_of_range) {
    // Decide between overflow and underflow from the position of the first
    // significant digit, as strtod would give HUGE_VAL or 0.
    long long magnitude = exponent;
    const char* q = digits;
    while (q < p && (*q == '0' || *q == '.')) ++q;
    const char* point = digits + intDigits;
    if (q < point) {
      magnitude += point - q - 1;
    } else {
      magnitude -= q - point;
    }
    value = magnitude > 0 ? HUGE_VAL : 0.0;
  } else if (result.ec != std::errc()) {
    value = 0.0;
  }
  return negative ? -value : value;
}

// "x,y;x,y;..." into points; stops at the first pair without a comma or with
// an empty y text.
void parsePoints(std::string_view text, std::vector<PointF>& out) {
  const char* p = text.data();
  const char* const e = p + text.size();
  while (p < e) {
    const char* comma =
        static_cast<const char*>(std::memchr(p, ',', static_cast<std::size_t>(e - p)));
    if (comma == nullptr) break;
    const char* q = comma + 1;
    if (q == e) break;
    const char* semi =
        static_cast<const char*>(std::memchr(q, ';', static_cast<std::size_t>(e - q)));
    if (semi == nullptr) semi = e;
    if (semi == q) break;
    out.push_back(
        {static_cast<float>(decimalPrefix(p, comma)), static_cast<float>(decimalPrefix(q, semi))});
    if (semi == e) break;
    p = semi + 1;
  }
}

// "A;B;C" into ids; an empty piece ends the list.
void parsePreload(std::string_view text, std::vector<std::string>& out) {
  while (true) {
    const std::size_t semi = text.find(';');
    const std::string_view piece = text.substr(0, semi);
    if (piece.empty()) break;
    out.emplace_back(piece);
    if (semi == std::string_view::npos) break;
    text.remove_prefix(semi + 1);
  }
}

// Character data gathered since the last end tag, without blanks, control
// characters and bytes from 0x80 up; always NUL-terminated.
class TextBuffer {
 public:
  TextBuffer() : data_(new char[kInitialTextCapacity]), capacity_(kInitialTextCapacity) {
    data_[0] = '\0';
  }

  void append(const char* s, std::size_t n) {
    reserve(size_ + n + 1);
    char* out = data_.get() + size_;
    // Branch-free: every byte is written, and the position only advances past
    // the ones that stay.
    for (std::size_t i = 0; i < n; ++i) {
      const signed char c = static_cast<signed char>(s[i]);
      *out = static_cast<char>(c);
      out += c > 32;
    }
    *out = '\0';
    size_ = static_cast<std::size_t>(out - data_.get());
  }

  void clear() {
    size_ = 0;
    data_[0] = '\0';
  }

  std::size_t size() const { return size_; }
  std::string_view view() const { return {data_.get(), size_}; }

 private:
  void reserve(std::size_t needed) {
    if (needed <= capacity_) return;
    std::size_t capacity = capacity_;
    while (capacity < needed) capacity *= 2;
    std::unique_ptr<char[]> grown(new char[capacity]);
    std::memcpy(grown.get(), data_.get(), size_ + 1);
    data_ = std::move(grown);
    capacity_ = capacity;
  }

  std::unique_ptr<char[]> data_;
  std::size_t capacity_;
  std::size_t size_ = 0;
};

void fillElement(ProjectElement& element, const XML_Char** attributes) {
  for (; attributes[0] != nullptr; attributes += 2) {
    if (is(attributes[0], "id")) {
      element.id = attributes[1];
    } else {
      element.attributes.emplace(attributes[0], attributes[1]);
    }
  }
}

ScriptAction makeAction(std::int32_t kind, const XML_Char** attributes) {
  ScriptAction action;
  action.kind = kind;
  std::size_t count = 0;
  for (const XML_Char** a = attributes; a[0] != nullptr; a += 2) count += 2;
  action.args.reserve(count);
  for (; attributes[0] != nullptr; attributes += 2) {
    if (is(attributes[0], "cond")) {
      action.cond = attributes[1];
    } else {
      action.args.emplace_back(attributes[0]);
      action.args.emplace_back(attributes[1]);
    }
  }
  return action;
}

// Sets the decoded bytes of a key, lens or embed. A buffer whose length does
// not fit dataLength (only from texts of several GiB) leaves the element
// without data rather than with a wrong length.
void setData(DataElement& element, std::vector<std::uint8_t> bytes) {
  if (bytes.size() > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) return;
  element.dataLength = static_cast<std::int32_t>(bytes.size());
  element.data = std::move(bytes);
}

// The state of one load; the user data of the parser callbacks. The element
// pointers do not own: every element belongs to its place in the model (or to
// `discarded_`) from the moment it is made.
class LoadState {
 public:
  LoadState(XML_Parser parser, std::size_t inputLength, LoadObserver* observer)
      : parser_(parser), inputLength_(inputLength), observer_(observer) {
    pendingKeys_.reserve(kKeyBatch);
  }

  // Completes what the callbacks left pending; call once after parsing.
  std::unique_ptr<ProjectDocument> finish() {
    decipherPendingKeys();
    return std::move(project_);
  }

  // expat calls these from C; nothing may propagate through it. An allocation
  // failure stops the parse, which keeps what was built so far.
  static void XMLCALL onStart(void* user, const XML_Char* name, const XML_Char** attributes) {
    auto* self = static_cast<LoadState*>(user);
    if (self->stopped_) return;
    try {
      self->start(name, attributes);
    } catch (...) {
      self->stop();
    }
  }

  static void XMLCALL onEnd(void* user, const XML_Char* name) {
    auto* self = static_cast<LoadState*>(user);
    if (self->stopped_) return;
    try {
      self->end(name);
    } catch (...) {
      self->stop();
    }
  }

  static void XMLCALL onText(void* user, const XML_Char* data, int length) {
    auto* self = static_cast<LoadState*>(user);
    if (self->stopped_ || self->skipDepth_ > 0 || length <= 0) return;
    try {
      self->text_.append(data, static_cast<std::size_t>(length));
    } catch (...) {
      self->stop();
    }
  }

  static void XMLCALL onEntityDeclaration(void* user, const XML_Char*, int, const XML_Char*, int,
                                          const XML_Char*, const XML_Char*, const XML_Char*,
                                          const XML_Char*) {
    auto* self = static_cast<LoadState*>(user);
    if (++self->entityDeclarations_ > kMaxEntityDeclarations) self->stop();
  }

 private:
  // The parser may still deliver a few events after being stopped (the end
  // of an empty element, the rest of a text run); they would meet a state the
  // failed handler left half-done, so everything after the stop is ignored.
  void stop() {
    stopped_ = true;
    XML_StopParser(parser_, XML_FALSE);
  }

  void start(const XML_Char* name, const XML_Char** attributes);
  bool admitDefaultedAttributes(const XML_Char** attributes);
  void end(const XML_Char* name);

  // Enters `element` into `table` under its id. When the id is taken the
  // table keeps its element; the newcomer still serves as the open element of
  // its kind until its end tag and is then dropped with all attached to it.
  template <class T>
  T* enter(ElementTable<T>& table, std::unique_ptr<T> element) {
    T* raw = element.get();
    const auto inserted = table.try_emplace(raw->id, std::move(element)).second;
    if (!inserted) discarded_.push_back({depth_, std::move(element)});
    return raw;
  }

  // Keys are deciphered in batches: the blocks of many keys side by side run
  // several times faster than one key at a time. The reserved room means
  // queueing never allocates, so no key can miss its turn.
  static constexpr std::size_t kKeyBatch = 64;

  void queueKey(KeyElement& key) {
    pendingKeys_.push_back(key.data);
    pendingBlocks_ += key.data.size() / 8;
    if (pendingBlocks_ >= kKeyBatch || pendingKeys_.size() == kKeyBatch) decipherPendingKeys();
  }

  void decipherPendingKeys() {
    if (!pendingKeys_.empty()) decipherKeyBlocks(pendingKeys_);
    pendingKeys_.clear();
    pendingBlocks_ = 0;
  }

  template <class T>
  static T* append(std::vector<std::unique_ptr<T>>& list, std::unique_ptr<T> element) {
    T* raw = element.get();
    list.push_back(std::move(element));
    return raw;
  }

  template <class T>
  std::unique_ptr<T> make(const XML_Char** attributes) {
    auto element = std::make_unique<T>();
    fillElement(*element, attributes);
    if (observer_) observer_->made(currentTag_, *element);
    return element;
  }

  bool outsideViewsAndLenses() const {
    return project_ && view_ == nullptr && button_ == nullptr && shape_ == nullptr &&
           !inTemplates_ && lens_ == nullptr;
  }

  struct Discarded {
    std::size_t depth;  // depth_ of its start tag
    std::unique_ptr<ProjectElement> element;
  };

  XML_Parser parser_;
  std::size_t inputLength_;
  LoadObserver* observer_;          // may be null
  std::size_t startTags_ = 0;       // start tags seen so far
  std::size_t currentTag_ = 0;      // start tags seen before the one being handled
  std::size_t defaultedBytes_ = 0;  // attribute text supplied by the DTD's defaults
  bool stopped_ = false;
  bool inTemplates_ = false;
  std::size_t skipDepth_ = 0;  // wider than the parser's own nesting can reach
  std::unique_ptr<ProjectDocument> project_;
  ViewElement* view_ = nullptr;
  ButtonElement* button_ = nullptr;
  ShapeElement* shape_ = nullptr;
  LinkElement* link_ = nullptr;
  KeyElement* key_ = nullptr;
  EmbedElement* embed_ = nullptr;
  LensElement* lens_ = nullptr;
  ScriptElement* script_ = nullptr;
  TextBuffer text_;

  std::size_t depth_ = 0;  // open elements that were acted on (not skipped)
  std::vector<Discarded> discarded_;
  std::size_t entityDeclarations_ = 0;
  std::vector<std::span<std::uint8_t>> pendingKeys_;  // decoded, not yet deciphered
  std::size_t pendingBlocks_ = 0;
};

// Attribute defaults declared in the document's DTD are copied into every
// element that omits them, so a short declaration can make each small tag carry
// a long text. The parser's own expansion limit does not count these copies;
// they get the same limit here, and the element that would pass it stops the
// parse.
bool LoadState::admitDefaultedAttributes(const XML_Char** attributes) {
  const int specified = XML_GetSpecifiedAttributeCount(parser_);
  if (specified < 0) return true;
  std::size_t added = 0;
  for (const XML_Char** a = attributes + specified; a[0] != nullptr; a += 2) {
    added += std::strlen(a[0]) + std::strlen(a[1]);
  }
  if (added == 0) return true;
  defaultedBytes_ += added;
  const double amplification = static_cast<double>(defaultedBytes_) /
                               static_cast<double>(std::max<std::size_t>(inputLength_, 1));
  if (defaultedBytes_ > kAmplificationThreshold && amplification > kMaxAmplification) {
    stop();
    return false;
  }
  return true;
}

void LoadState::start(const XML_Char* name, const XML_Char** attributes) {
  currentTag_ = startTags_++;
  if (skipDepth_ > 0) {
    ++skipDepth_;
    return;
  }
  if (!admitDefaultedAttributes(attributes)) return;
  ProjectDocument* const root = project_.get();
  switch (classify(name)) {
    case Tag::Quilo:
      if (root) break;
      ++depth_;
      project_ = make<ProjectDocument>(attributes);
      return;
    case Tag::Templates:
      if (inTemplates_ || !root || view_ || link_ || button_ || shape_ || lens_) break;
      ++depth_;
      inTemplates_ = true;
      return;
    case Tag::View:
      if (!root || view_ || button_ || link_ || shape_ || lens_) break;
      ++depth_;
      view_ =
          enter(inTemplates_ ? root->viewTemplates : root->views, make<ViewElement>(attributes));
      return;
    case Tag::Button:
      if (button_ || !(view_ || inTemplates_) || link_ || shape_) break;
      ++depth_;
      button_ = view_ ? append(view_->buttons, make<ButtonElement>(attributes))
                      : enter(root->buttonTemplates, make<ButtonElement>(attributes));
      return;
    case Tag::Shape:
      if (button_ || !(view_ || inTemplates_) || link_ || shape_) break;
      ++depth_;
      shape_ = view_ ? append(view_->shapes, make<ShapeElement>(attributes))
                     : enter(root->shapeTemplates, make<ShapeElement>(attributes));
      return;
    case Tag::Edge:
      if (!view_) break;
      // Not counted in depth_: its end tag only counts skipDepth_ down.
      view_->edges.push_back(make<ProjectElement>(attributes));
      skipDepth_ = 1;
      return;
    case Tag::Link:
      if (!outsideViewsAndLenses()) break;
      ++depth_;
      link_ = enter(root->links, make<LinkElement>(attributes));
      return;
    case Tag::Lens:
      if (!outsideViewsAndLenses()) break;
      ++depth_;
      lens_ = enter(root->lenses, make<LensElement>(attributes));
      return;
    case Tag::Embed:
      if (!outsideViewsAndLenses()) break;
      ++depth_;
      embed_ = enter(root->embeds, make<EmbedElement>(attributes));
      return;
    case Tag::Key:
      if (!link_) break;
      ++depth_;
      key_ = append(link_->keys, make<KeyElement>(attributes));
      return;
    case Tag::Points:
      if (!shape_) break;
      ++depth_;
      return;
    case Tag::Preload:
      if (!view_) break;
      ++depth_;
      return;
    case Tag::Script: {
      if (!root || script_) break;
      ++depth_;
      ScriptedElement* owner = shape_    ? static_cast<ScriptedElement*>(shape_)
                               : button_ ? static_cast<ScriptedElement*>(button_)
                               : view_   ? static_cast<ScriptedElement*>(view_)
                                         : root;
      script_ = append(owner->scripts, make<ScriptElement>(attributes));
      return;
    }
    case Tag::Set:
      if (!script_) break;
      ++depth_;
      script_->actions.push_back(makeAction(ScriptAction::Set, attributes));
      return;
    case Tag::Play:
      if (!script_) break;
      ++depth_;
      script_->actions.push_back(makeAction(ScriptAction::Play, attributes));
      return;
    case Tag::Other:
      break;
  }
  skipDepth_ = 1;
}

void LoadState::end(const XML_Char* name) {
  if (skipDepth_ > 0) {
    --skipDepth_;
    return;
  }
  switch (classify(name)) {
    case Tag::Templates:
      inTemplates_ = false;
      break;
    case Tag::View:
      view_ = nullptr;
      break;
    case Tag::Button:
      button_ = nullptr;
      break;
    case Tag::Shape:
      shape_ = nullptr;
      break;
    case Tag::Script:
      script_ = nullptr;
      break;
    case Tag::Link:
      link_ = nullptr;
      break;
    case Tag::Key:
      if (key_ && text_.size() != 0) {
        setData(*key_, decodeBase64(text_.view()));
        queueKey(*key_);
      }
      key_ = nullptr;
      break;
    case Tag::Embed:
      if (embed_) setData(*embed_, decodeBase64(text_.view()));
      embed_ = nullptr;
      break;
    case Tag::Lens:
      if (lens_) setData(*lens_, decodeBase64(text_.view()));
      lens_ = nullptr;
      break;
    case Tag::Points:
      if (shape_) parsePoints(text_.view(), shape_->points);
      break;
    case Tag::Preload:
      if (view_) parsePreload(text_.view(), view_->preload);
      break;
    case Tag::Quilo:
    case Tag::Edge:
    case Tag::Set:
    case Tag::Play:
    case Tag::Other:
      break;
  }
  text_.clear();
  // Elements discarded for a taken id end with the element that opened them;
  // everything opened inside them has ended before (the parser enforces
  // nesting), so no open-element pointer still refers into them.
  if (!discarded_.empty() && discarded_.back().depth >= depth_) {
    decipherPendingKeys();  // some may belong to what is dropped now
    while (!discarded_.empty() && discarded_.back().depth >= depth_) discarded_.pop_back();
  }
  if (depth_ > 0) --depth_;
}

struct ParserDeleter {
  void operator()(XML_Parser parser) const { XML_ParserFree(parser); }
};

}  // namespace

std::unique_ptr<ProjectDocument> loadProjectText(const char* text, std::size_t length,
                                                 std::size_t chunkBytes, LoadObserver* observer) {
  if (text == nullptr) length = 0;
  if (chunkBytes == 0 || chunkBytes > static_cast<std::size_t>(INT_MAX))
    chunkBytes = kParseChunkBytes;

  const std::unique_ptr<XML_ParserStruct, ParserDeleter> parser(XML_ParserCreate(nullptr));
  if (!parser) return nullptr;
  LoadState state(parser.get(), length, observer);
  XML_SetElementHandler(parser.get(), &LoadState::onStart, &LoadState::onEnd);
  XML_SetCharacterDataHandler(parser.get(), &LoadState::onText);
  XML_SetUserData(parser.get(), &state);
  // Untrusted text: external entities are never read (no external-entity
  // handler is installed, and parameter entities are not parsed), entity
  // declarations are counted, and expansion is bounded.
  XML_SetParamEntityParsing(parser.get(), XML_PARAM_ENTITY_PARSING_NEVER);
  XML_SetEntityDeclHandler(parser.get(), &LoadState::onEntityDeclaration);
  XML_SetBillionLaughsAttackProtectionMaximumAmplification(parser.get(), kMaxAmplification);
  XML_SetBillionLaughsAttackProtectionActivationThreshold(parser.get(), kAmplificationThreshold);

  // One call for every ordinary text; longer ones in pieces, since expat takes
  // an int length and cannot buffer a GiB at once. The result only decides
  // whether feeding goes on: whatever was built before an error is kept.
  std::size_t offset = 0;
  do {
    const std::size_t piece = std::min(chunkBytes, length - offset);
    const bool last = offset + piece == length;
    if (XML_Parse(parser.get(), text + offset, static_cast<int>(piece),
                  last ? XML_TRUE : XML_FALSE) != XML_STATUS_OK) {
      break;
    }
    offset += piece;
  } while (offset < length);
  return state.finish();
}

}  // namespace detail

bool ProjectHolder::load(const char* text, std::size_t length) {
  // The old document goes first, so the new one can reuse its memory.
  project_.reset();
  project_ = detail::loadProjectText(text, length, detail::kParseChunkBytes);
  return true;
}

}  // namespace vistel
