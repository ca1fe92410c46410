#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "vistel/imaging/jpeg_codec.h"
#include "vistel/scene/lens.h"

namespace vistel {
namespace {

// The kernel's huge-page mode: "always", "madvise" or "never".
std::string hugePageMode() {
  std::ifstream in("/sys/kernel/mm/transparent_hugepage/enabled");
  std::string all;
  std::getline(in, all);
  const auto open = all.find('['), close = all.find(']');
  return open == std::string::npos || close == std::string::npos
             ? ""
             : all.substr(open + 1, close - open - 1);
}

// Whether the mapping holding `address` may be backed by huge pages, from
// /proc/self/smaps; -1 when the mapping or the field is not found.
int hugePagesEligible(const void* address) {
  const auto at = reinterpret_cast<std::uintptr_t>(address);
  std::ifstream smaps("/proc/self/smaps");
  std::string line;
  bool inside = false;
  while (std::getline(smaps, line)) {
    std::uintptr_t from = 0, to = 0;
    char dash = 0;
    std::istringstream head(line);
    if (head >> std::hex >> from >> dash >> to && dash == '-') {
      inside = from <= at && at < to;
    } else if (inside && line.rfind("THPeligible:", 0) == 0) {
      return std::stoi(line.substr(12));
    }
  }
  return -1;
}

const void* wholeHugePageIn(const void* data) {
  constexpr std::uintptr_t kHuge = std::uintptr_t{2} << 20;
  return reinterpret_cast<const void*>((reinterpret_cast<std::uintptr_t>(data) + kHuge - 1) &
                                       ~(kHuge - 1));
}

// HD pictures and their lens maps are read at scattered places every frame:
// they ask for huge pages, which the kernel only gives on request in its
// "madvise" mode.
TEST(PictureBuffer, HdPicturesAndLensMapsAskForHugePages) {
  if (hugePageMode() != "madvise") GTEST_SKIP() << "huge pages not in madvise mode here";
  const std::size_t bytes = std::size_t(1920) * 1081 * 4 + 4;
  const auto picture = newPictureBuffer(bytes);
  ASSERT_NE(picture, nullptr);
  std::memset(picture.get(), 7, bytes);
  EXPECT_EQ(hugePagesEligible(wholeHugePageIn(picture.get())), 1);

  const auto map = buildMap("kamolens0", 1920, 1080, nullptr);
  ASSERT_NE(map, nullptr);
  EXPECT_EQ(hugePagesEligible(wholeHugePageIn(map->words.data())), 1);
}

}  // namespace
}  // namespace vistel
