#pragma once

// The load-time properties a host hands to the control: named texts, as the
// <param> values of a page or `--param NAME=VALUE` options. Names are matched
// exactly (letter case counts); setting a name again replaces its value.
//
// The command-line forms every Vistel program shares:
//   --param NAME=VALUE   one property (VALUE may be empty and may hold "=")
//   --params FILE        one NAME=VALUE per line; empty lines and lines
//                        starting with "#" are skipped, a "\r" before the line
//                        end is dropped, nothing else is trimmed
// Options are applied in the order given, so a later one wins.
//
// Thread-safety: none; one thread at a time.

#include <cstddef>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace vistel {

class PropertyBag {
 public:
  // Limits on what a page or a parameter file can make the control hold.
  static constexpr std::size_t kMaxProperties = 256;
  static constexpr std::size_t kMaxNameBytes = 64;
  static constexpr std::size_t kMaxValueBytes = std::size_t{8} << 20;  // a whole project text
  static constexpr std::size_t kMaxFileBytes = std::size_t{16} << 20;

  // Sets `name` to `value`. False, with the bag unchanged, for an empty name,
  // a name holding "=" or a line break, or a limit exceeded.
  [[nodiscard]] bool set(std::string_view name, std::string_view value);

  // Copies the value of `name` into `value`. False, with `value` untouched,
  // when the name is absent.
  [[nodiscard]] bool read(std::string_view name, std::string& value) const;

  bool contains(std::string_view name) const { return values_.find(name) != values_.end(); }
  std::size_t size() const { return values_.size(); }

  // One "NAME=VALUE" text, split at its first "=". False, with the bag
  // unchanged, when there is no "=" or set() refuses.
  [[nodiscard]] bool setAssignment(std::string_view text);

  // A parameter file's text (format above). All or nothing: false with a
  // one-line reason naming the line, and the bag unchanged, when any line is
  // refused.
  [[nodiscard]] bool setLines(std::string_view text, std::string& reason);

 private:
  std::map<std::string, std::string, std::less<>> values_;
};

// Removes every `--param NAME=VALUE` and `--params FILE` (also written
// `--param=NAME=VALUE`, `--params=FILE`) from `args` and applies them to
// `bag` in order. Arguments after a "--" are left alone. False with a
// one-line reason on a missing value, a malformed assignment or an unreadable
// file; `args` and `bag` may then be partly changed.
[[nodiscard]] bool takePropertyOptions(std::vector<std::string>& args, PropertyBag& bag,
                                       std::string& reason);

}  // namespace vistel
