// vistel_test_screen_grab OUT.png MIN_COLOURS TIMEOUT_MS: takes screenshots of
// the whole screen of $DISPLAY until one shows at least MIN_COLOURS distinct
// colours (or the time is up) and saves the last one. Exit 0 when the count
// was reached, 1 when not, 2 on bad arguments or a failed save.
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QImage>
#include <QPixmap>
#include <QScreen>
#include <QThread>
#include <cstdio>
#include <cstdlib>
#include <unordered_set>

namespace {

int distinctColours(const QImage& image) {
  std::unordered_set<QRgb> colours;
  for (int y = 0; y < image.height(); ++y) {
    const auto* row = reinterpret_cast<const QRgb*>(image.constScanLine(y));
    for (int x = 0; x < image.width(); ++x) colours.insert(row[x] & 0xFFFFFFu);
  }
  return static_cast<int>(colours.size());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s OUT.png MIN_COLOURS TIMEOUT_MS\n", argv[0]);
    return 2;
  }
  const int wanted = std::atoi(argv[2]);
  const int timeoutMs = std::atoi(argv[3]);
  QGuiApplication app(argc, argv);
  QElapsedTimer clock;
  clock.start();
  QImage shot;
  int colours = 0;
  for (;;) {
    shot = QGuiApplication::primaryScreen()->grabWindow(0).toImage().convertToFormat(
        QImage::Format_RGB32);
    colours = distinctColours(shot);
    if (colours >= wanted || clock.elapsed() > timeoutMs) break;
    QThread::msleep(200);
  }
  std::printf("%d colours after %lld ms\n", colours, static_cast<long long>(clock.elapsed()));
  if (!shot.save(QString::fromLocal8Bit(argv[1]))) return 2;
  return colours >= wanted ? 0 : 1;
}
