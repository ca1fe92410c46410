#include "vistel/scene/link_traversal.h"

#include <algorithm>
#include <string>
#include <utility>

namespace vistel {

namespace {

// The link's id and attributes, `from` and `to` trading places (an absent
// one included) when travelled backwards.
ProjectElement attributesOf(const LinkElement& link, bool reversed) {
  ProjectElement copy;
  copy.id = link.id;
  copy.attributes = link.attributes;
  if (reversed) {
    auto from = copy.attributes.extract(std::string("from"));
    auto to = copy.attributes.extract(std::string("to"));
    if (from) {
      from.key() = "to";
      copy.attributes.insert(std::move(from));
    }
    if (to) {
      to.key() = "from";
      copy.attributes.insert(std::move(to));
    }
  }
  return copy;
}

}  // namespace

LinkTraversal::LinkTraversal(Key, const ProjectElement& attributes, Instance* root, bool reversed)
    : Instance(attributes, root), reversed_(reversed) {}

std::unique_ptr<LinkTraversal> LinkTraversal::create(const LinkElement& link, Instance* root,
                                                     Direction direction) {
  const bool reversed = direction == Direction::Backward;
  auto traversal =
      std::make_unique<LinkTraversal>(Key(), attributesOf(link, reversed), root, reversed);
  const std::size_t count = link.keys.size();
  traversal->keys_.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    const KeyElement& key = *link.keys[reversed ? count - 1 - i : i];
    traversal->keys_.push_back(std::make_unique<LinkKey>(key, *traversal, reversed));
  }
  // The keys passed only grow with the position and the keys ahead only
  // shrink, so the two ends of the range decide for every position between.
  if (!traversal->previousKey(0) || !traversal->nextKey(kLastProgress)) return nullptr;
  return traversal;
}

LinkKey* LinkTraversal::previousKey(float progress) const {
  LinkKey* found = nullptr;
  for (const auto& key : keys_) {
    if (key->time() > progress) break;
    if (key->hasQuad()) found = key.get();
  }
  return found;
}

LinkKey* LinkTraversal::nextKey(float progress) const {
  for (const auto& key : keys_) {
    if (key->time() > progress && key->hasQuad()) return key.get();
  }
  return nullptr;
}

std::unique_ptr<TransitionFrame> LinkTraversal::transitionAt() {
  if (!(navProgress_ >= 0)) navProgress_ = 0;
  if (navProgress_ >= kLastProgress) navProgress_ = kLastProgress;
  const LinkKey* a = previousKey(navProgress_);
  const LinkKey* b = nextKey(navProgress_);
  // create() guarantees both; the fallback only keeps a broken invariant harmless.
  const KeyQuad qa = a ? *a->quad() : kImageCornerKey;
  const KeyQuad qb = b ? *b->quad() : kImageCornerKey;
  std::unique_ptr<TransitionFrame> frame = makeTransitionFrame(qa, qb, navProgress_);
  // Positions stop at kLastProgress, so a blend weight of navProgress itself
  // would never show the destination alone at the end of the link.
  frame->t = std::min(1.0f, navProgress_ / kLastProgress);
  return frame;
}

bool LinkTraversal::showsButtons(std::string_view attribute) {
  // Every frame from kLastProgress on is the link's end, and transitionAt
  // stores kLastProgress in place of the 1 the navigator wrote: keys up to
  // the end (time 1) are reached there.
  const float reached = navProgress_ >= kLastProgress ? 1.0f : navProgress_;
  bool shown = false;
  for (const auto& key : keys_) {
    if (!(key->time() <= reached)) break;
    if (ScriptValue* value = key->ownAttribute(attribute)) shown = value->toTruth();
  }
  return shown;
}

}  // namespace vistel
