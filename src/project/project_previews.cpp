#include "vistel/project/project_previews.h"

#include <array>
#include <cstdio>
#include <cstring>

#include "vistel/project/encoding.h"
#include "vistel/project/xml_tree.h"

namespace vistel {

namespace {

void copyAttributes(const ProjectElement& from, XmlNode& to) {
  if (!from.id.empty()) to.setAttribute("id", from.id);
  for (const auto& [name, value] : from.attributes) to.setAttribute(name, value);
}

std::string pointsText(const std::vector<PointF>& points) {
  std::string out;
  char buffer[96];
  for (const PointF& p : points) {
    // Nine significant digits give every float32 back exactly.
    std::snprintf(buffer, sizeof buffer, "%s%.9g,%.9g", out.empty() ? "" : ";", double(p.x),
                  double(p.y));
    out += buffer;
  }
  return out;
}

XmlNode viewNode(const ViewElement& view, std::string_view id, const PictureOverrides& pictures) {
  XmlNode node = XmlNode::element("view");
  copyAttributes(view, node);
  node.setAttribute("id", id);
  if (const auto it = pictures.find(view.id); it != pictures.end()) {
    node.setAttribute("src", it->second);
  }
  for (const auto& shape : view.shapes) {
    XmlNode shapeNode = XmlNode::element("shape");
    copyAttributes(*shape, shapeNode);
    XmlNode points = XmlNode::element("points");
    points.children.push_back(XmlNode::textNode(pointsText(shape->points)));
    shapeNode.children.push_back(std::move(points));
    node.children.push_back(std::move(shapeNode));
  }
  return node;
}

XmlDocument projectWith(std::string_view startView) {
  XmlDocument doc;
  doc.nodes.push_back(XmlNode::element("quilo"));
  doc.root().setAttribute("startview", startView);
  return doc;
}

void addLenses(const ProjectDocument& document, XmlNode& root) {
  for (const auto& [id, lens] : document.lenses) {
    XmlNode node = XmlNode::element("lens");
    copyAttributes(*lens, node);
    node.children.push_back(XmlNode::textNode(encodeBase64(lens->data)));
    root.children.push_back(std::move(node));
  }
}

std::string emptyProject() {
  XmlDocument doc = projectWith(kPreviewStart);
  XmlNode view = XmlNode::element("view");
  view.setAttribute("id", kPreviewStart);
  doc.root().children.push_back(std::move(view));
  return writeXml(doc);
}

// A key's text as the loader would read it back: the deciphered bytes
// enciphered again (a key without a whole quad keeps its bytes as Base64,
// which reads back as no key, as before).
std::string keyText(const KeyElement& key) {
  if (!key.hasQuad()) return encodeBase64(key.data);
  std::array<std::uint8_t, 32> plain;
  std::memcpy(plain.data(), key.data.data(), plain.size());
  return encodeKeyText(plain);
}

}  // namespace

std::string viewPreviewText(const ProjectDocument& document, std::string_view view,
                            const PictureOverrides& pictures) {
  const ViewElement* element = document.findView(view);
  if (element == nullptr) return emptyProject();
  XmlDocument doc = projectWith(kPreviewStart);
  doc.root().children.push_back(viewNode(*element, kPreviewStart, pictures));
  addLenses(document, doc.root());
  return writeXml(doc);
}

std::string linkPreviewText(const ProjectDocument& document, std::string_view link,
                            const PictureOverrides& pictures) {
  const LinkElement* element = document.findLink(link);
  if (element == nullptr) return emptyProject();
  const std::string* from = element->findAttribute("from");
  const std::string* to = element->findAttribute("to");
  const ViewElement* source = from ? document.findView(*from) : nullptr;
  const ViewElement* destination = to ? document.findView(*to) : nullptr;
  if (source == nullptr || destination == nullptr) return emptyProject();

  XmlDocument doc = projectWith(source->id);
  XmlNode& root = doc.root();
  XmlNode start = viewNode(*source, source->id, pictures);
  XmlNode edge = XmlNode::element("edge");
  edge.setAttribute("link", element->id);
  start.children.insert(start.children.begin(), std::move(edge));
  root.children.push_back(std::move(start));
  if (destination != source)
    root.children.push_back(viewNode(*destination, destination->id, pictures));
  XmlNode linkNode = XmlNode::element("link");
  copyAttributes(*element, linkNode);
  for (const auto& key : element->keys) {
    XmlNode keyNode = XmlNode::element("key");
    copyAttributes(*key, keyNode);
    if (key->dataLength > 0) keyNode.children.push_back(XmlNode::textNode(keyText(*key)));
    linkNode.children.push_back(std::move(keyNode));
  }
  root.children.push_back(std::move(linkNode));
  addLenses(document, root);
  return writeXml(doc);
}

}  // namespace vistel
