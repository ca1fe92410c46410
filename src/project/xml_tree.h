#pragma once

// A project document kept as written, for the editor: elements with their
// attributes in start-tag order, text, comments and processing instructions,
// in document order, including everything the project loader skips. Written
// back indented, so that a saved project is readable and loads to the same
// model: only white space between elements changes, which the loader ignores.
//
// Thread-safety: values and pure functions; any thread on its own data.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vistel {

struct XmlNode {
  enum class Kind : unsigned char { Element, Text, Comment, Instruction };

  Kind kind = Kind::Element;
  std::string name;  // element name, or an instruction's target
  std::string text;  // text (entities resolved), comment text, or instruction data
  std::vector<std::pair<std::string, std::string>> attributes;  // elements: start-tag order
  std::vector<XmlNode> children;                                // elements: document order
  bool blankLineBefore = false;  // layout only: an empty line was written before it

  static XmlNode element(std::string name) { return make(Kind::Element, std::move(name), {}); }
  static XmlNode textNode(std::string text) { return make(Kind::Text, {}, std::move(text)); }
  static XmlNode make(Kind kind, std::string name, std::string text) {
    XmlNode node;
    node.kind = kind;
    node.name = std::move(name);
    node.text = std::move(text);
    return node;
  }

  // The value of attribute `name`, or null. Valid until the attributes change.
  const std::string* attribute(std::string_view name) const;
  // Replaces the value in place, or appends the attribute.
  void setAttribute(std::string_view name, std::string_view value);
  // False when there was none.
  bool removeAttribute(std::string_view name);
  // A text node holding only XML white space (blank, tab, line ends).
  bool isBlankText() const;
  // The concatenated text of the direct text children.
  std::string ownText() const;
};

// The nodes outside the root (comments, instructions) and the root element.
struct XmlDocument {
  std::vector<XmlNode> nodes;  // document order; exactly one is an element

  XmlNode& root();
  const XmlNode& root() const;
};

// Documents the editor takes: up to this size and nesting depth.
inline constexpr std::size_t kMaxXmlBytes = std::size_t{8} << 20;
inline constexpr std::size_t kMaxXmlDepth = 256;

struct XmlParseResult {
  std::optional<XmlDocument> document;  // set when the whole text parsed
  std::string error;                    // otherwise one line: "line N: reason"
};

// Parses a whole document. Entity references come back resolved and
// attribute defaults of a document type declaration become attributes of
// their elements; the declaration itself is not kept. External entities are
// never read, and entity expansion is bounded as in the project loader.
// Fails on malformed text, texts above kMaxXmlBytes and nesting deeper than
// kMaxXmlDepth.
[[nodiscard]] XmlParseResult parseXml(std::string_view text);

// The document as UTF-8 text with an XML declaration: elements that hold only
// elements (and white space) put each child on a line of its own, indented by
// two blanks a level, with the empty lines the document had between them;
// elements with text are written on one line as they are. Ends with a line
// break.
std::string writeXml(const XmlDocument& document);

}  // namespace vistel
