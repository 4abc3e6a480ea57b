// The window thread's work per live-status note (the detection thread posts one per pass, about
// 20 a second), on Qt's offscreen platform.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <vector>

#include "app/headless.h"
#include "app/main_window.h"
#include "storage/disk_cleaner.h"

namespace ombrix {
namespace {

QApplication& App() {
  static int argc = 1;
  static char name[] = "window_bench";
  static char* argv[] = {name, nullptr};
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
  }
  static QApplication app(argc, argv);
  return app;
}

// Stores one frame when started, as a camera's first frame.
class OneFrameSource final : public CaptureSource {
 public:
  bool Start(FrameRing& ring) override {
    const std::vector<uint8_t> sample(kSampleSize640, 128);
    ring.StoreFrame(sample.data(), *ParseStamp("20160610_210509_990"));
    return true;
  }
  void Stop() override {}
};

void BM_LiveStatus(benchmark::State& state) {
  App();
  SourceParts parts;
  StatvfsFreeSpace freeSpace;
  WindowSetup setup;
  setup.wallClock = &parts.clock;
  setup.freeSpace = &freeSpace;
  setup.stationOptions.readConfiguration = false;
  setup.show = false;
  setup.notice = [](const Notice&) {};
  setup.makeSource = [](Station&) { return std::make_unique<OneFrameSource>(); };
  MainWindow window(std::move(setup));
  window.Start();  // shows the live video
  for (auto _ : state) {
    window.LiveStatus();  // every 30th also copies the frame, as in a run
  }
}
BENCHMARK(BM_LiveStatus);

}  // namespace
}  // namespace ombrix
