// How responsive the window stays during a big send: the composer in its real window sends a
// message with a large attachment to an SMTP server on loopback while every event Qt hands to
// the window's widgets is timed (an event posted to the window every 5 ms keeps them coming, as
// a person moving the mouse would). Prints the send's duration, the number of events and the
// longest gap between two handled events, with the 99th percentile.
//
// Usage: window_responsiveness PORT ATTACHMENT   (QT_QPA_PLATFORM=offscreen, or a DISPLAY)
#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "app/Tarvik2_unit1.h"
#include "frontend/qt/ComposerWindow.h"
#include "frontend/qt/QtFrontEnd.h"
#include "platform/Application.h"

namespace {

class EventClock : public QObject {
 public:
  explicit EventClock(QWidget& window) : window_(window) { clock_.start(); }
  bool eventFilter(QObject* watched, QEvent*) override {
    auto* widget = qobject_cast<QWidget*>(watched);
    if (recording && widget && (widget == &window_ || window_.isAncestorOf(widget)))
      times.push_back(clock_.nsecsElapsed() / 1e6);
    return false;
  }
  bool recording = false;
  std::vector<double> times;

 private:
  QWidget& window_;
  QElapsedTimer clock_;
};

}  // namespace

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  if (argc != 3) {
    std::fprintf(stderr, "usage: window_responsiveness PORT ATTACHMENT\n");
    return 2;
  }
  TQtFrontEnd frontEnd;
  ScopedFrontEnd current(frontEnd);
  Application().Title = kTarvikTitle;
  Form1 = std::make_unique<TForm1>();
  Form1->Arguments = {"-server:127.0.0.1:" + std::string(argv[1]),
                      "-from:ann@example.org",
                      "-s:big",
                      "-msg:Attached.",
                      "bob@example.org",
                      argv[2]};
  Form1->OnInit(Form1.get());
  frontEnd.ShowForm(*Form1);
  EventClock events(*frontEnd.Window());
  application.installEventFilter(&events);
  // Something for the window to handle every 5 ms, as a moving mouse would give it.
  QTimer pulse;
  QObject::connect(&pulse, &QTimer::timeout, frontEnd.Window(), [&frontEnd] {
    QCoreApplication::postEvent(frontEnd.Window(), new QEvent(QEvent::User));
  });
  QElapsedTimer sendClock;
  QTimer::singleShot(200, [&] {
    events.recording = true;
    pulse.start(5);
    sendClock.start();
    frontEnd.InModel([] { Form1->SendBtn.Click(); });
  });
  QTimer watch;
  QObject::connect(&watch, &QTimer::timeout, [&] {
    if (events.recording && !Form1->Sending()) application.quit();
  });
  watch.start(50);
  application.exec();
  const double seconds = sendClock.elapsed() / 1e3;
  events.recording = false;
  std::vector<double> gaps;
  for (std::size_t i = 1; i < events.times.size(); ++i)
    gaps.push_back(events.times[i] - events.times[i - 1]);
  std::sort(gaps.begin(), gaps.end());
  const double longest = gaps.empty() ? 0 : gaps.back();
  const double p99 = gaps.empty() ? 0 : gaps[gaps.size() * 99 / 100];
  std::printf("status: %s\n", Form1->StatusBar1.SimpleText.c_str());
  std::printf("send %.2f s, %zu window events, longest gap %.1f ms, 99th percentile %.1f ms\n",
              seconds, events.times.size(), longest, p99);
  frontEnd.CloseForm();
  Form1.reset();
  return 0;
}
