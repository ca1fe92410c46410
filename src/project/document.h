#pragma once

// The object model of a project document (root element <quilo>): passive data,
// built once by ProjectHolder::load and only read afterwards. Attribute values
// stay the text written in the document; they are typed when read, through
// VariableScope (values.h).
//
// Thread-safety: a document is built on one thread and may then be read from
// any number of threads; nothing in it changes after loading.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace vistel {

// Attributes keyed by name in byte-wise order. The first value of a repeated
// name stays.
using AttributeMap = std::map<std::string, std::string, std::less<>>;

// Base of every element; also the class of an <edge>, which has none of its own.
class ProjectElement {
 public:
  virtual ~ProjectElement() = default;

  // Value of attribute `name`, or null when the start tag did not carry it.
  // `id` is never found here: it lives in `id`.
  const std::string* findAttribute(std::string_view name) const;

  std::string id;           // empty when the element has no id attribute
  AttributeMap attributes;  // every attribute but id
};

// One <set> (kind Set) or <play> (kind Play) inside a script.
struct ScriptAction {
  enum Kind : std::int32_t { Set = 0, Play = 1 };
  std::int32_t kind = Set;
  std::string cond;               // the cond attribute; empty when absent
  std::vector<std::string> args;  // every other attribute: name, value, name, value...
};

class ScriptElement : public ProjectElement {
 public:
  std::vector<ScriptAction> actions;  // document order
};

// Base of the elements that carry <script> children.
class ScriptedElement : public ProjectElement {
 public:
  std::vector<std::unique_ptr<ScriptElement>> scripts;  // document order
};

class ButtonElement : public ScriptedElement {};

struct PointF {
  float x = 0;
  float y = 0;
  friend bool operator==(const PointF&, const PointF&) = default;
};

class ShapeElement : public ScriptedElement {
 public:
  std::vector<PointF> points;  // from the <points> child, in order
};

class ViewElement : public ScriptedElement {
 public:
  std::vector<std::string> preload;                     // view ids, in order
  std::vector<std::unique_ptr<ButtonElement>> buttons;  // document order
  std::vector<std::unique_ptr<ShapeElement>> shapes;    // document order
  std::vector<std::unique_ptr<ProjectElement>> edges;   // document order
};

// An element whose text content decodes to bytes: <key>, <lens>, <embed>.
class DataElement : public ProjectElement {
 public:
  // The decoded bytes. data.size() == dataLength always; bytes the decoder
  // could not produce read as zero. Empty (dataLength 0) when the text was
  // empty or the end tag was never reached.
  std::vector<std::uint8_t> data;
  std::int32_t dataLength = 0;
};

class KeyElement : public DataElement {
 public:
  // Bytes of a key quad (eight little-endian float32 values).
  static constexpr std::int32_t kQuadBytes = 32;
  // Keys with fewer bytes than a quad count as having no key for every reader.
  bool hasQuad() const { return dataLength >= kQuadBytes; }
};

class LensElement : public DataElement {};
class EmbedElement : public DataElement {};

class LinkElement : public ProjectElement {
 public:
  std::vector<std::unique_ptr<KeyElement>> keys;  // document order
};

// Tables keyed by id in byte-wise order; an element without id sits under "".
template <class T>
using ElementTable = std::map<std::string, std::unique_ptr<T>, std::less<>>;

// The root element <quilo>.
class ProjectDocument : public ScriptedElement {
 public:
  const ViewElement* findView(std::string_view id) const;  // in views only
  const LinkElement* findLink(std::string_view id) const;
  const LensElement* findLens(std::string_view id) const;

  ElementTable<ButtonElement> buttonTemplates;  // <button> directly in <templates>
  ElementTable<ShapeElement> shapeTemplates;    // <shape> directly in <templates>
  ElementTable<ViewElement> viewTemplates;      // <view> in <templates>
  ElementTable<ViewElement> views;              // <view> outside <templates>
  ElementTable<LinkElement> links;
  ElementTable<EmbedElement> embeds;
  ElementTable<LensElement> lenses;
};

}  // namespace vistel
