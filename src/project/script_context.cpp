#include "vistel/project/script_context.h"

namespace vistel {

ScriptContext::ScriptContext(const ScriptElement& script, VariableScope& owner)
    : name_(script.id), scope_(&owner), actions_(script.actions) {
  scope_.initFromAttributes(script);
}

void ScriptContext::run(ScriptHost& host) {
  const VariableResolver resolver = [this](std::string_view name) { return scope_.lookup(name); };
  for (const ScriptAction& action : actions_) {
    if (!action.cond.empty() && !evaluateCondition(action.cond, &resolver)) continue;
    if (action.kind != ScriptAction::Play) continue;
    // args alternate name and value; a trailing name without value is ignored.
    for (std::size_t i = 0; i + 1 < action.args.size(); i += 2) {
      if (action.args[i] == "link") host.setPendingLink(action.args[i + 1]);
    }
  }
}

}  // namespace vistel
