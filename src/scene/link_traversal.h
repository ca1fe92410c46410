#pragma once

// The link being travelled: a copy of the <link>'s attributes (`from` and `to`
// swapped when travelled backwards), its keys as LinkKeys (in reverse order,
// time and blend mirrored, when backwards), and the position along it, which
// the navigator writes. transitionAt turns the position into the pair of
// homographies the renderer warps by. Travelled backwards, each key's
// srcbuttons and dstbuttons trade places too (see LinkKey).
//
// Every traversal has a previous key at position 0 and a next key at 0.99 (see
// create), so every position transitionAt can meet has both.
//
// Thread-safety: none (engine thread).

#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "vistel/scene/geometry.h"
#include "vistel/scene/instance.h"
#include "vistel/scene/link_key.h"

namespace vistel {

// Which way a link is travelled: from its source view to its destination, or back.
enum class Direction { Forward, Backward };

class LinkTraversal final : public Instance {
 public:
  // Highest position a frame is made for; transitionAt stores it in place of
  // anything higher.
  static constexpr float kLastProgress = 0.99f;

  // The traversal of `link` (attributes interpolated through `root`, may be
  // null), or null when some position in [0, kLastProgress] would lack a
  // previous or a next key with key bytes: a first usable key above 0, no
  // usable key above kLastProgress, or keys without bytes. `link` and `root`
  // must outlive the result.
  [[nodiscard]] static std::unique_ptr<LinkTraversal> create(const LinkElement& link,
                                                             Instance* root, Direction direction);

  // Only create() can make this key: every traversal passed its key check.
  class Key {
    friend class LinkTraversal;
    Key() = default;
  };
  LinkTraversal(Key, const ProjectElement& attributes, Instance* root, bool reversed);

  float navProgress() const { return navProgress_; }
  void setNavProgress(float progress) { navProgress_ = progress; }
  bool reversed() const { return reversed_; }
  std::span<const std::unique_ptr<LinkKey>> keys() const { return keys_; }

  // Keeps navProgress within [0, kLastProgress] (stored; not a number counts as
  // 0), then interpolates between the previous and the next key by navProgress
  // itself. The frame's blend weight t is navProgress / kLastProgress (at most
  // 1), so the destination shows alone at the end. The caller owns the result;
  // never null.
  std::unique_ptr<TransitionFrame> transitionAt();

  // Whether the source (destination) view's shapes show at navProgress: the
  // last key reached (time <= navProgress, walking in order; from
  // kLastProgress on, time <= 1) that has `srcbuttons` (`dstbuttons`) of its
  // own decides; false when none has.
  bool showsSourceButtons() { return showsButtons("srcbuttons"); }
  bool showsDestinationButtons() { return showsButtons("dstbuttons"); }

  // Walking the keys in order up to the first whose time exceeds `progress`:
  // the last of them with key bytes. Null when there is none.
  LinkKey* previousKey(float progress) const;
  // The first key in order whose time exceeds `progress` and that has key
  // bytes; null when there is none.
  LinkKey* nextKey(float progress) const;

 private:
  bool showsButtons(std::string_view attribute);

  std::vector<std::unique_ptr<LinkKey>> keys_;
  float navProgress_ = 0;
  bool reversed_;
};

}  // namespace vistel
