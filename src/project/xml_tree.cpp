#include "vistel/project/xml_tree.h"

#ifndef XML_DTD
#define XML_DTD 1
#endif
#include <expat.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <memory>

namespace vistel {

namespace {

bool isXmlSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// The same bounds the project loader puts on what a small text can expand to.
constexpr float kMaxAmplification = 100.0f;
constexpr unsigned long long kAmplificationThreshold = 8ull << 20;
constexpr std::size_t kMaxEntityDeclarations = 64;
// Attribute defaults of a document type are copied into every element that
// omits them; the parser's own bound does not count those copies.
constexpr std::size_t kMaxTreeBytes = 64u << 20;

class TreeBuilder {
 public:
  explicit TreeBuilder(XML_Parser parser) : parser_(parser) {}

  static void XMLCALL onStart(void* user, const XML_Char* name, const XML_Char** attributes) {
    static_cast<TreeBuilder*>(user)->start(name, attributes);
  }
  static void XMLCALL onEnd(void* user, const XML_Char*) {
    auto* self = static_cast<TreeBuilder*>(user);
    if (!self->open_.empty()) self->open_.pop_back();
  }
  static void XMLCALL onText(void* user, const XML_Char* data, int length) {
    auto* self = static_cast<TreeBuilder*>(user);
    if (self->open_.empty() || length <= 0) return;  // outside the root: white space only
    self->text(data, static_cast<std::size_t>(length));
  }
  static void XMLCALL onComment(void* user, const XML_Char* data) {
    auto* self = static_cast<TreeBuilder*>(user);
    self->add(XmlNode::make(XmlNode::Kind::Comment, {}, data));
  }
  static void XMLCALL onInstruction(void* user, const XML_Char* target, const XML_Char* data) {
    auto* self = static_cast<TreeBuilder*>(user);
    self->add(XmlNode::make(XmlNode::Kind::Instruction, target, data));
  }
  static void XMLCALL onEntityDeclaration(void* user, const XML_Char*, int, const XML_Char*, int,
                                          const XML_Char*, const XML_Char*, const XML_Char*,
                                          const XML_Char*) {
    auto* self = static_cast<TreeBuilder*>(user);
    if (++self->entityDeclarations_ > kMaxEntityDeclarations) self->fail("too many entities");
  }

  XmlDocument& document() { return document_; }
  const std::string& failure() const { return failure_; }

 private:
  void fail(const char* reason) {
    if (failure_.empty()) {
      failure_ = "line " + std::to_string(XML_GetCurrentLineNumber(parser_)) + ": " + reason;
    }
    XML_StopParser(parser_, XML_FALSE);
  }

  bool charge(std::size_t bytes) {
    bytes_ += bytes;
    if (bytes_ <= kMaxTreeBytes) return true;
    fail("the document expands beyond 64 MiB");
    return false;
  }

  std::vector<XmlNode>& siblings() {
    return open_.empty() ? document_.nodes : open_.back()->children;
  }

  // Appends `node` where the parser is; an empty line written before it in
  // the source is kept as layout.
  XmlNode& add(XmlNode node) {
    std::vector<XmlNode>& list = siblings();
    if (!list.empty() && list.back().kind == XmlNode::Kind::Text && list.back().isBlankText()) {
      const std::string& gap = list.back().text;
      node.blankLineBefore = std::count(gap.begin(), gap.end(), '\n') >= 2;
    }
    list.push_back(std::move(node));
    return list.back();
  }

  void start(const XML_Char* name, const XML_Char** attributes) {
    if (open_.size() >= kMaxXmlDepth) {
      fail("elements nested too deeply");
      return;
    }
    XmlNode node = XmlNode::element(name);
    std::size_t bytes = node.name.size();
    for (; attributes[0] != nullptr; attributes += 2) {
      node.attributes.emplace_back(attributes[0], attributes[1]);
      bytes += node.attributes.back().first.size() + node.attributes.back().second.size();
    }
    if (!charge(bytes)) return;
    open_.push_back(&add(std::move(node)));
  }

  void text(const char* data, std::size_t length) {
    if (!charge(length)) return;
    std::vector<XmlNode>& list = open_.back()->children;
    if (list.empty() || list.back().kind != XmlNode::Kind::Text) {
      list.push_back(XmlNode::textNode({}));
    }
    list.back().text.append(data, length);
  }

  XML_Parser parser_;
  XmlDocument document_;
  // The open elements, innermost last. Only the innermost one's children
  // grow, so the pointers to its ancestors stay valid.
  std::vector<XmlNode*> open_;
  std::size_t bytes_ = 0;
  std::size_t entityDeclarations_ = 0;
  std::string failure_;
};

struct ParserDeleter {
  void operator()(XML_Parser parser) const { XML_ParserFree(parser); }
};

// Where escaped text goes: an attribute value keeps its quotes and white
// space only as references.
enum class Escape { Text, Attribute };

void appendEscaped(std::string& out, std::string_view text, Escape where) {
  const bool attribute = where == Escape::Attribute;
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        if (attribute) {
          out += "&quot;";
        } else {
          out += c;
        }
        break;
      // Line ends and tabs in attribute values become blanks when read,
      // and a carriage return anywhere becomes a line feed: references keep them.
      case '\t':
        out += attribute ? "&#9;" : "\t";
        break;
      case '\n':
        out += attribute ? "&#10;" : "\n";
        break;
      case '\r':
        out += "&#13;";
        break;
      default:
        out += c;
    }
  }
}

void writeStartTag(std::string& out, const XmlNode& node) {
  out += '<';
  out += node.name;
  for (const auto& [name, value] : node.attributes) {
    out += ' ';
    out += name;
    out += "=\"";
    appendEscaped(out, value, Escape::Attribute);
    out += '"';
  }
}

// As written: no white space added or removed.
void writeInline(std::string& out, const XmlNode& node) {
  switch (node.kind) {
    case XmlNode::Kind::Text:
      appendEscaped(out, node.text, Escape::Text);
      return;
    case XmlNode::Kind::Comment:
      out += "<!--";
      out += node.text;
      out += "-->";
      return;
    case XmlNode::Kind::Instruction:
      out += "<?";
      out += node.name;
      if (!node.text.empty()) {
        out += ' ';
        out += node.text;
      }
      out += "?>";
      return;
    case XmlNode::Kind::Element:
      break;
  }
  writeStartTag(out, node);
  if (node.children.empty()) {
    out += "/>";
    return;
  }
  out += '>';
  for (const XmlNode& child : node.children) writeInline(out, child);
  out += "</";
  out += node.name;
  out += '>';
}

bool holdsText(const XmlNode& node) {
  return std::any_of(node.children.begin(), node.children.end(), [](const XmlNode& child) {
    return child.kind == XmlNode::Kind::Text && !child.isBlankText();
  });
}

void writeBlock(std::string& out, const XmlNode& node, std::size_t depth) {
  if (node.kind != XmlNode::Kind::Element || node.children.empty() || holdsText(node)) {
    writeInline(out, node);
    return;
  }
  writeStartTag(out, node);
  out += ">\n";
  bool first = true;
  for (const XmlNode& child : node.children) {
    if (child.kind == XmlNode::Kind::Text) continue;  // blank: the layout replaces it
    if (child.blankLineBefore && !first) out += '\n';
    first = false;
    out.append(2 * (depth + 1), ' ');
    writeBlock(out, child, depth + 1);
    out += '\n';
  }
  out.append(2 * depth, ' ');
  out += "</";
  out += node.name;
  out += '>';
}

}  // namespace

const std::string* XmlNode::attribute(std::string_view name) const {
  for (const auto& [key, value] : attributes) {
    if (key == name) return &value;
  }
  return nullptr;
}

void XmlNode::setAttribute(std::string_view name, std::string_view value) {
  for (auto& [key, old] : attributes) {
    if (key == name) {
      old.assign(value);
      return;
    }
  }
  attributes.emplace_back(std::string(name), std::string(value));
}

bool XmlNode::removeAttribute(std::string_view name) {
  const auto it = std::find_if(attributes.begin(), attributes.end(),
                               [name](const auto& a) { return a.first == name; });
  if (it == attributes.end()) return false;
  attributes.erase(it);
  return true;
}

bool XmlNode::isBlankText() const {
  return kind == Kind::Text && std::all_of(text.begin(), text.end(), isXmlSpace);
}

std::string XmlNode::ownText() const {
  std::string out;
  for (const XmlNode& child : children) {
    if (child.kind == Kind::Text) out += child.text;
  }
  return out;
}

XmlNode& XmlDocument::root() {
  return *std::find_if(nodes.begin(), nodes.end(),
                       [](const XmlNode& n) { return n.kind == XmlNode::Kind::Element; });
}

const XmlNode& XmlDocument::root() const {
  return *std::find_if(nodes.begin(), nodes.end(),
                       [](const XmlNode& n) { return n.kind == XmlNode::Kind::Element; });
}

XmlParseResult parseXml(std::string_view text) {
  XmlParseResult result;
  if (text.size() > kMaxXmlBytes) {
    result.error = "the file is larger than 8 MiB";
    return result;
  }
  const std::unique_ptr<XML_ParserStruct, ParserDeleter> parser(XML_ParserCreate(nullptr));
  if (!parser) {
    result.error = "out of memory";
    return result;
  }
  TreeBuilder builder(parser.get());
  XML_SetUserData(parser.get(), &builder);
  XML_SetElementHandler(parser.get(), &TreeBuilder::onStart, &TreeBuilder::onEnd);
  XML_SetCharacterDataHandler(parser.get(), &TreeBuilder::onText);
  XML_SetCommentHandler(parser.get(), &TreeBuilder::onComment);
  XML_SetProcessingInstructionHandler(parser.get(), &TreeBuilder::onInstruction);
  XML_SetParamEntityParsing(parser.get(), XML_PARAM_ENTITY_PARSING_NEVER);
  XML_SetEntityDeclHandler(parser.get(), &TreeBuilder::onEntityDeclaration);
  XML_SetBillionLaughsAttackProtectionMaximumAmplification(parser.get(), kMaxAmplification);
  XML_SetBillionLaughsAttackProtectionActivationThreshold(parser.get(), kAmplificationThreshold);

  const XML_Status status =
      XML_Parse(parser.get(), text.data(), static_cast<int>(text.size()), XML_TRUE);
  if (!builder.failure().empty()) {
    result.error = builder.failure();
    return result;
  }
  if (status != XML_STATUS_OK) {
    result.error = "line " + std::to_string(XML_GetCurrentLineNumber(parser.get())) + ": " +
                   XML_ErrorString(XML_GetErrorCode(parser.get()));
    return result;
  }
  result.document = std::move(builder.document());
  return result;
}

std::string writeXml(const XmlDocument& document) {
  std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
  bool first = true;
  for (const XmlNode& node : document.nodes) {
    if (node.kind == XmlNode::Kind::Text) continue;
    if (node.blankLineBefore && !first) out += '\n';
    first = false;
    writeBlock(out, node, 0);
    out += '\n';
  }
  return out;
}

}  // namespace vistel
