// The editor's command line: one optional project, --help, and refusals that
// say why.
#include "editor_options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vistel {
namespace {

std::optional<EditorOptions> parse(std::vector<std::string> args, std::string& error) {
  error.clear();
  return parseEditorArguments(args, error);
}

TEST(EditorOptions, OneProjectOrHelpAndRefusalsSayWhy) {
  std::string error;
  const auto none = parse({}, error);
  ASSERT_TRUE(none);
  EXPECT_TRUE(none->project.empty());
  EXPECT_FALSE(none->help);

  // A name that looks like an option is a project after "--".
  const auto dashed = parse({"--", "-odd.xml"}, error);
  ASSERT_TRUE(dashed);
  EXPECT_EQ(dashed->project, "-odd.xml");
  const auto help = parse({"site.xml", "--help"}, error);
  ASSERT_TRUE(help);
  EXPECT_TRUE(help->help);

  for (const std::vector<std::string>& bad :
       {std::vector<std::string>{"--bogus"}, {"a.xml", "b.xml"}, {""}}) {
    EXPECT_FALSE(parse(bad, error)) << bad.front();
    EXPECT_FALSE(error.empty());
  }
  EXPECT_NE(error.find("empty"), std::string::npos);
  EXPECT_TRUE(editorUsage().starts_with("usage: vistel-editor [PROJECT]"));
}

}  // namespace
}  // namespace vistel
