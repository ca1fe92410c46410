#include "vistel/project/document.h"

namespace vistel {

namespace {

template <class T>
const T* findIn(const ElementTable<T>& table, std::string_view id) {
  const auto it = table.find(id);
  return it == table.end() ? nullptr : it->second.get();
}

}  // namespace

const std::string* ProjectElement::findAttribute(std::string_view name) const {
  const auto it = attributes.find(name);
  return it == attributes.end() ? nullptr : &it->second;
}

const ViewElement* ProjectDocument::findView(std::string_view id) const {
  return findIn(views, id);
}
const LinkElement* ProjectDocument::findLink(std::string_view id) const {
  return findIn(links, id);
}
const LensElement* ProjectDocument::findLens(std::string_view id) const {
  return findIn(lenses, id);
}

}  // namespace vistel
