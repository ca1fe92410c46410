#include "command_line.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <map>

#include "vistel/host/property_bag.h"

namespace vistel {

namespace {

// CLI11 counts a word's values; a bound this high never stops one.
constexpr std::size_t kMostWords = std::size_t{1} << 20;

std::string quotedUnknown(const std::string& argument) {
  return "unknown option '" + argument + "'";
}

}  // namespace

struct CommandLine::State {
  // What becomes of each value of one declared option, in the order given.
  struct Handler {
    Apply apply;                          // options with a value
    std::function<std::string()> raised;  // flags
    std::string missing;                  // refusal of a value left out
    bool property = false;                // --param or --params
    bool words = false;                   // the words that are no option
    std::size_t used = 0;                 // values handed over so far
  };

  CLI::App app;
  Dashes dashes;
  std::map<const CLI::Option*, Handler> handlers;
  PropertyBag* bag = nullptr;
  std::vector<const CLI::Option*> propertyOptions;
  std::vector<std::string>* words = nullptr;
  std::size_t mostWords = 0;
  Refusal tooMany = [](const std::string& argument) {
    return "unexpected argument '" + argument + "'";
  };
  bool onlyWords = false;
  Refusal unknown = quotedUnknown;

  explicit State(Dashes d) : dashes(d) {
    app.set_help_flag();  // each program prints its own help text
    app.allow_extras();   // unknown options are refused below, in the program's words
    app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
  }

  CLI::Option* declare(const std::string& name, std::string missing) {
    CLI::Option* option = app.add_option(name);
    Handler& handler = handlers[option];
    handler.missing = missing.empty() ? name + " needs a value" : std::move(missing);
    return option;
  }

  std::string handOver(const CLI::Option* option, Handler& handler, bool dashesGiven,
                       std::size_t& wordCount) {
    const std::string& value = option->results()[handler.used++];
    if (handler.raised) return handler.raised();
    if (handler.apply) return handler.apply(value);
    if (handler.property) {
      // The library applies both forms, with its own reasons for a refusal.
      std::vector<std::string> pair{option->get_name(), value};
      std::string reason;
      return takePropertyOptions(pair, *bag, reason) ? "" : reason;
    }
    if (!dashesGiven && value.size() > 1 && value[0] == '-') {
      return unknown(value);
    }
    if (++wordCount > mostWords) return tooMany(value);
    words->push_back(value);
    return "";
  }
};

CommandLine::CommandLine(Dashes dashes) : state_(std::make_unique<State>(dashes)) {}

CommandLine::~CommandLine() = default;

void CommandLine::option(const std::string& name, Apply apply, std::string missing) {
  state_->handlers[state_->declare(name, std::move(missing))].apply = std::move(apply);
}

void CommandLine::option(const std::string& name, std::string refusal, Take take,
                         std::string missing) {
  option(
      name,
      [refusal = std::move(refusal), take = std::move(take)](const std::string& value) {
        return take(value) ? std::string() : refusal;
      },
      std::move(missing));
}

void CommandLine::flag(const std::string& names, std::function<std::string()> apply) {
  state_->handlers[state_->app.add_flag(names)].raised = std::move(apply);
}

void CommandLine::properties(PropertyBag& bag) {
  state_->bag = &bag;
  for (const char* name : {"--param", "--params"}) {
    CLI::Option* option = state_->declare(name, {});
    state_->handlers[option].property = true;
    state_->propertyOptions.push_back(option);
  }
}

void CommandLine::words(std::vector<std::string>& into, std::size_t most, Refusal tooMany,
                        Words kind) {
  CLI::Option* option = state_->app.add_option("WORDS");
  option->expected(static_cast<int>(std::min(most, kMostWords - 1) + 1));
  state_->handlers[option].words = true;
  state_->words = &into;
  state_->mostWords = most;
  if (tooMany) state_->tooMany = std::move(tooMany);
  state_->onlyWords = kind == Words::Only;
}

void CommandLine::unknownOption(Refusal refusal) { state_->unknown = std::move(refusal); }

bool CommandLine::parse(const std::vector<std::string>& args, std::string& error) {
  State& s = *state_;
  std::vector<std::string> given = args;
  if (s.dashes == Dashes::Ignored) std::erase(given, "--");
  if (s.onlyWords) {
    // Only the first "--" means anything; one put first makes every argument a word.
    const auto first = std::find(given.begin(), given.end(), "--");
    if (first != given.end()) given.erase(first);
    given.insert(given.begin(), "--");
  }
  const bool dashesGiven = std::find(given.begin(), given.end(), "--") != given.end();

  // CLI11 takes the arguments last first.
  std::vector<std::string> reversed(given.rbegin(), given.rend());
  try {
    s.app.parse(reversed);
  } catch (const CLI::ArgumentMismatch&) {
    // An option's value can only be missing at the end of the line.
    const std::string& last = given.back();
    error = last + " needs a value";
    for (const auto& [option, handler] : s.handlers) {
      if (option->check_name(last)) error = handler.missing;
    }
    return false;
  } catch (const CLI::ParseError& e) {
    error = e.what();
    return false;
  }

  // CLI11 leaves what it does not take, in the order given: unknown options
  // before the first "--", then words. An unknown option goes first, as the
  // word after it is often its value.
  const std::vector<std::string> left = s.app.remaining();
  const auto dashes = std::find(left.begin(), left.end(), "--");
  for (auto it = left.begin(); it != dashes; ++it) {
    if (it->size() > 1 && (*it)[0] == '-') {
      error = s.unknown(*it);
      return false;
    }
  }
  if (dashes != left.end() && s.dashes == Dashes::Refused) {
    error = s.unknown("--");
    return false;
  }

  std::size_t wordCount = 0;
  for (const CLI::Option* option : s.app.parse_order()) {
    const auto found = s.handlers.find(option);
    if (found == s.handlers.end()) continue;
    error = s.handOver(option, found->second, dashesGiven, wordCount);
    if (!error.empty()) return false;
  }
  for (const std::string& word : left) {
    if (word == "--") continue;
    error = s.tooMany(word);
    return false;
  }
  return true;
}

bool CommandLine::gaveProperties() const {
  return std::any_of(state_->propertyOptions.begin(), state_->propertyOptions.end(),
                     [](const CLI::Option* option) { return option->count() > 0; });
}

}  // namespace vistel
