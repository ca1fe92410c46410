// Loading speed of project documents: text in, object model out.
#include <benchmark/benchmark.h>

#include <array>
#include <string>

#include "vistel/project/encoding.h"
#include "vistel/project/project_holder.h"

namespace {

// A project shaped like real ones: every view has a camera source, a lens, an
// edge, a clickable shape with a script; every pair of neighbouring views is
// joined by a link with two keys.
std::string makeProject(int views) {
  std::array<std::uint8_t, 32> quad{};
  for (std::size_t i = 0; i < quad.size(); ++i) quad[i] = static_cast<std::uint8_t>(i * 7 + 3);
  const std::string key = vistel::encodeKeyText(quad);

  std::string text = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<quilo startview=\"v0\">\n";
  text.reserve(static_cast<std::size_t>(views) * 900);
  for (int i = 0; i < views; ++i) {
    const std::string id = "v" + std::to_string(i);
    const std::string link = "l" + std::to_string(i);
    text += "  <view id=\"" + id + "\" src=\"http://192.168.0." + std::to_string(i % 250) +
            "/video.mjpg\" fps=\"12\" lens=\"kamolens0\">\n";
    text += "    <edge link=\"" + link + "\" dir=\"forward\" angle=\"450\" len=\"282\"/>\n";
    text += "    <shape id=\"door" + std::to_string(i) +
            "\" linecolor=\"#80ff2000\" projected=\"true\">\n"
            "      <points>0.1,0.2;0.4,0.2;0.4,0.8;0.1,0.8</points>\n"
            "      <script id=\"onclick\"><set cond=\"[visits]&lt;3\" "
            "visits=\"[visits]+1\"/></script>\n"
            "    </shape>\n";
    text += "    <preload>v" + std::to_string((i + 1) % views) + "</preload>\n  </view>\n";
    text += "  <link id=\"" + link + "\" from=\"" + id + "\" to=\"v" +
            std::to_string((i + 1) % views) + "\" tension=\"0.5\">\n";
    text += "    <key time=\"0\" blend=\"0\" srcbuttons=\"true\">" + key + "</key>\n";
    text += "    <key time=\"1\" blend=\"1\" dstbuttons=\"true\">\n      " + key.substr(0, 22) +
            "\n      " + key.substr(22) + "\n    </key>\n  </link>\n";
  }
  text += "</quilo>\n";
  return text;
}

void BM_LoadProject(benchmark::State& state) {
  const std::string text = makeProject(static_cast<int>(state.range(0)));
  std::size_t views = 0;
  for (auto _ : state) {
    vistel::ProjectHolder holder;
    (void)holder.load(text.data(), text.size());
    views = holder.project() != nullptr ? holder.project()->views.size() : 0;
    benchmark::DoNotOptimize(views);
    // Releasing a document happens when the next project replaces it, off the
    // loading path; keep it out of the figure.
    state.PauseTiming();
    holder.release().reset();
    state.ResumeTiming();
  }
  if (views != static_cast<std::size_t>(state.range(0))) state.SkipWithError("views were lost");
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(text.size()));
  state.counters["text_bytes"] = static_cast<double>(text.size());
}
BENCHMARK(BM_LoadProject)->Arg(100)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);

}  // namespace
