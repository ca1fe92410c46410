#pragma once

#include <filesystem>
#include <string>

namespace vistel::test {

// Root of the source tree, for committed inputs (examples, corpora).
inline std::filesystem::path sourceDir() { return VISTEL_SOURCE_DIR; }

// A fresh, empty folder under the build tree, unique per test process and tag.
std::filesystem::path scratchDir(const std::string& tag);

// Whole contents of a file; empty when it cannot be read.
std::string readFile(const std::filesystem::path& path);

// Writes bytes to a file, creating parent folders; false on failure.
bool writeFile(const std::filesystem::path& path, const std::string& bytes);

}  // namespace vistel::test
