#pragma once

// Shared by the end-to-end link tests: the project's programs run as child processes with
// the test's event loop turning.

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QProcess>
#include <QTimer>
#include <functional>
#include <string>

#include "links/PtyDevice.h"
#include "support/QtEventLoop.h"

namespace links_test {

// A fixture's first member, for members that need the application from their construction.
struct Application {
  Application() { TestApp(); }
};

// Turns the event loop until done() holds or ms have passed; every wait is bounded. The
// loop sleeps between events; the guard timer wakes it at the bound.
inline bool WaitFor(const std::function<bool()>& done, int ms) {
  QTimer guard;
  guard.setSingleShot(true);
  guard.start(ms);
  while (!done()) {
    if (!guard.isActive()) return false;
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
  }
  return true;
}

inline QString Binary(const char* name) { return QString(PD_BINARY_DIR) + "/" + name; }
inline bool Built(const char* name) { return QFileInfo::exists(Binary(name)); }

// One of the project's programs; its output is collected while the loop turns.
class Program {
 public:
  ~Program() {
    if (process_.state() != QProcess::NotRunning) {
      process_.kill();
      process_.waitForFinished(5000);
    }
  }
  void Start(const char* name, const QStringList& args) {
    process_.start(Binary(name), args);
    started_.start();
  }
  // Until done() holds (checked against the output so far) or ms have passed.
  bool WaitFor(const std::function<bool()>& done, int ms) {
    return links_test::WaitFor(
        [&] {
          Collect();
          return done();
        },
        ms);
  }
  // Exit code once the program has ended by itself within ms; -1 otherwise.
  int Finish(int ms) {
    WaitFor([&] { return process_.state() == QProcess::NotRunning; }, ms);
    Collect();
    if (process_.state() != QProcess::NotRunning || process_.exitStatus() != QProcess::NormalExit) return -1;
    return process_.exitCode();
  }
  qint64 ElapsedMs() const { return started_.elapsed(); }
  std::string LastOutLine() const {
    std::string s = out;
    while (!s.empty() && s.back() == '\n') s.pop_back();
    const size_t nl = s.rfind('\n');
    return nl == std::string::npos ? s : s.substr(nl + 1);
  }
  bool ErrHas(const std::string& text) const { return err.find(text) != std::string::npos; }

  std::string out;
  std::string err;

 private:
  void Collect() {
    out += process_.readAllStandardOutput().toStdString();
    err += process_.readAllStandardError().toStdString();
  }
  QProcess process_;
  QElapsedTimer started_;
};

}  // namespace links_test
