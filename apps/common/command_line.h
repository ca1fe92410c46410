#pragma once

// The command line of a Vistel program, read by CLI11 and refused in the
// program's own words. Options are declared with what they do with each
// value; the values are then handed over in the order they were given, so a
// later one wins and the first value refused is the one reported. Every
// option that takes a value may be repeated.
//
// Thread-safety: none; one thread at a time.

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace vistel {

class PropertyBag;

class CommandLine {
 public:
  // Stores one value, or says why it is refused ("" when it is accepted).
  using Apply = std::function<std::string(const std::string& value)>;
  // Stores one value; false refuses it.
  using Take = std::function<bool(const std::string& value)>;
  // The one-line refusal of an argument (an unknown option, a word too many).
  using Refusal = std::function<std::string(const std::string& argument)>;

  // What a "--" on the command line does.
  enum class Dashes {
    EndOptions,  // the words after the first are never options
    Ignored,     // every "--" is dropped, wherever it is
    Refused,     // it is an unknown option
  };

  explicit CommandLine(Dashes dashes = Dashes::EndOptions);
  ~CommandLine();
  CommandLine(const CommandLine&) = delete;
  CommandLine& operator=(const CommandLine&) = delete;

  // An option with a value, also written NAME=VALUE. A missing value is
  // refused with `missing` (default: "NAME needs a value").
  void option(const std::string& name, Apply apply, std::string missing = {});
  void option(const std::string& name, std::string refusal, Take take, std::string missing = {});
  // An option without a value (names such as "-h,--help"); `apply` runs at
  // each occurrence.
  void flag(const std::string& names, std::function<std::string()> apply);
  // --param NAME=VALUE and --params FILE, applied to `bag` in the order given
  // (`bag` must outlive parse()).
  void properties(PropertyBag& bag);
  // Whether a command has options besides its words.
  enum class Words {
    AmongOptions,  // a word starting with "-" is an option unless a "--" came before it
    Only,          // no options: every argument is a word, even "-0.5"
  };

  // The words that are no option, in order; the one after the first `most`
  // is refused with `tooMany` (default: "unexpected argument 'ARG'").
  void words(std::vector<std::string>& into, std::size_t most, Refusal tooMany = {},
             Words kind = Words::AmongOptions);
  // How an unknown option is refused (default: "unknown option 'ARG'").
  void unknownOption(Refusal refusal);

  // Reads `args` (after the program's or command's name). False with one
  // line in `error` at the first fault.
  [[nodiscard]] bool parse(const std::vector<std::string>& args, std::string& error);

  // After parse(): whether a --param or --params option was given.
  bool gaveProperties() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace vistel
