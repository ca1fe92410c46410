#pragma once

// One run of one script: a fresh scope made from the script's attributes
// (each interpolated in the owning object's scope at this moment), whose
// lookups fall back to the owner and its ancestors, and the script's actions.
//
// Thread-safety: none; a context lives for one run on the dispatching thread,
// which must be the only user of the owner's scope meanwhile.

#include <string>
#include <vector>

#include "vistel/project/document.h"
#include "vistel/project/script_host.h"
#include "vistel/project/values.h"

namespace vistel {

class ScriptContext {
 public:
  // `script` and `owner` must outlive the context.
  ScriptContext(const ScriptElement& script, VariableScope& owner);
  ScriptContext(const ScriptContext&) = delete;
  ScriptContext& operator=(const ScriptContext&) = delete;

  const std::string& name() const { return name_; }
  VariableScope& scope() { return scope_; }

  // Runs the actions in order. An action whose condition is false (malformed
  // conditions are false) is skipped; references in conditions resolve in this
  // context's scope: the script's own attributes first, then the owner's chain.
  // A `play` hands each value of an argument named exactly "link" to `host`;
  // `set` actions and other arguments have no effect.
  void run(ScriptHost& host);

 private:
  std::string name_;
  VariableScope scope_;
  const std::vector<ScriptAction>& actions_;
};

}  // namespace vistel
