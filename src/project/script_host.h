#pragma once

// What a running script may change outside the scene: the one effect a script
// action has is a `play` naming a link. The viewer engine implements this;
// tests record what arrives.
//
// Thread-safety: called on the thread that dispatches script events (the
// engine thread); implementations need no lock for that thread's own state.

#include <string_view>

namespace vistel {

class ScriptHost {
 public:
  virtual ~ScriptHost() = default;

  // A `play` action named link `link`; the host keeps a copy of the text (the
  // view is valid during the call only). Later calls overwrite earlier ones.
  virtual void setPendingLink(std::string_view link) = 0;
};

}  // namespace vistel
