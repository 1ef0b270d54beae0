#pragma once

// Real-link tests run the Qt event loop; every wait is bounded by a deadline so that a
// missing event fails the test instead of hanging it.

#include <QCoreApplication>
#include <QElapsedTimer>
#include <functional>

// The test program's one QCoreApplication, made on first use.
inline QCoreApplication& TestApp() {
  static int argc = 1;
  static char name[] = "paramdeck-test";
  static char* argv[] = {name, nullptr};
  static QCoreApplication* app = QCoreApplication::instance() ? nullptr : new QCoreApplication(argc, argv);
  return app ? *app : *QCoreApplication::instance();
}

// Runs the event loop until done() or boundMs have passed; returns done().
inline bool RunEventsUntil(const std::function<bool()>& done, int boundMs = 5000) {
  TestApp();
  QElapsedTimer clock;
  clock.start();
  while (!done()) {
    if (clock.elapsed() > boundMs) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  }
  return true;
}
