#pragma once

// The two-camera project the control writes for itself when it is given two
// camera addresses instead of a project: views "Cam0" and "Cam1" joined by one
// link "Cam0Cam1" with a start key (time 0) and an end key (time 1).
//
// The text is one line: every line break of the template is three tab
// characters, and it starts with three tabs. Hosts and stored pages compare
// it byte for byte, so its form is fixed.
//
// Thread-safety: pure functions; any thread.

#include <string>
#include <string_view>

namespace vistel {

// The template filled in with the two image addresses, the frame rate
// (written with six fractional digits, "25.000000", and "." as the decimal
// point whatever the process locale) and the two key texts, all as given.
std::string generatedProject(std::string_view startImage, float fps, std::string_view endImage,
                             std::string_view startKey, std::string_view endKey);

// Every "&" of an address as "&#38;", so a query such as "a=1&b=2" survives
// inside an XML attribute. Nothing else is escaped.
std::string escapeAmpersands(std::string_view address);

}  // namespace vistel
