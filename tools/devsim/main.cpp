// paramdeck-devsim: a simulated field device on a TCP or pseudo-terminal link.

#include <signal.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "DevsimLinks.h"
#include "lib/DevsimOptions.h"
#include "lib/SimulatedDevice.h"
#include "platform/qt/QtClock.h"
#include "platform/qt/QtTimer.h"

namespace {

int signalPipe[2] = {-1, -1};

void OnSignal(int) {
  const char c = 1;
  (void)!::write(signalPipe[1], &c, 1);
}

void PrintLine(const std::string& line) {
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

std::string Stamp(const Clock& clock) {
  const WallTime t = clock.Now();
  char buf[16];
  std::snprintf(buf, sizeof buf, "%02d:%02d:%02d.%03d ", t.hour, t.minute, t.second, t.msec);
  return buf;
}

}  // namespace

int main(int argc, char** argv) {
  DevsimOptions opt;
  try {
    opt = ParseDevsimOptions(std::vector<std::string>(argv + 1, argv + argc));
  } catch (const std::exception& e) {
    std::fprintf(stderr, "paramdeck-devsim: %s\n", e.what());
    return 2;
  }
  if (opt.help) {
    std::fputs(DevsimUsage().c_str(), stdout);
    return 0;
  }

  std::string image(SimulatedDevice::kImageSize, '\0');
  if (!opt.imagePath.empty()) {
    const bool missingIsFine = opt.save && ::access(opt.imagePath.c_str(), F_OK) != 0;
    if (!missingIsFine) {
      try {
        image = LoadImageFile(opt.imagePath);
      } catch (const std::exception& e) {
        std::fprintf(stderr, "paramdeck-devsim: %s\n", e.what());
        return 1;
      }
    }
  }

  QCoreApplication app(argc, argv);
  QtClock clock;
  QtTimerFactory timers;
  SimulatedDevice device(clock, timers);
  device.SetAddress(opt.address);
  device.SetIdentity(opt.identity);
  device.SetAnswerDelayMs(opt.answerDelayMs);
  device.faults = opt.faults;
  device.Image() = image;

  std::unique_ptr<DevsimLink> link;
  switch (opt.link) {
    case DevsimOptions::Link::Listen: link = MakeListenLink(opt.bindAddress, opt.listenPort); break;
    case DevsimOptions::Link::Connect: link = MakeConnectLink(opt.host, opt.port, opt.reconnectMs); break;
    case DevsimOptions::Link::Pty: link = MakePtyLink(); break;
  }

  // Whether the device has said anything on the current connection; the greeting after a
  // silent start is only needed when it has not.
  bool spoke = false;
  bool up = false;
  device.OnSend = [&](const std::string& bytes) {
    spoke = true;
    link->Write(bytes);
  };
  device.OnTrace = PrintLine;
  link->OnNote = [&](const std::string& line) { PrintLine(Stamp(clock) + "LINK " + line); };
  link->OnBytes = [&](std::string_view bytes) { device.Receive(bytes); };

  QTimer greeting;
  greeting.setSingleShot(true);
  greeting.setInterval(static_cast<int>(opt.silentFirstSeconds * 1000));
  QObject::connect(&greeting, &QTimer::timeout, [&] {
    if (up && !spoke) device.SendIdentification();
  });
  link->OnUp = [&] {
    up = true;
    spoke = false;
    device.ResetLink();
    if (opt.silentFirstSeconds == 0) {
      device.SendIdentification();
    } else {
      greeting.start();
    }
  };
  link->OnDown = [&] {
    up = false;
    greeting.stop();
    device.ResetLink();
  };

  QTimer events;
  if (opt.eventEveryMs > 0) {
    events.setInterval(static_cast<int>(opt.eventEveryMs));
    QObject::connect(&events, &QTimer::timeout, [&] {
      if (up || !link->IsTcp()) device.SendEvent(opt.eventPayload);
    });
    events.start();
  }

  // Signals end the event loop from the loop itself, so the image is saved on the way out.
  if (::pipe(signalPipe) != 0) {
    std::perror("paramdeck-devsim: pipe");
    return 1;
  }
  QSocketNotifier signalNotifier(signalPipe[0], QSocketNotifier::Read);
  QObject::connect(&signalNotifier, &QSocketNotifier::activated, [&] {
    char c;
    (void)!::read(signalPipe[0], &c, 1);
    QCoreApplication::quit();
  });
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  ::sigaction(SIGINT, &sa, nullptr);
  ::sigaction(SIGTERM, &sa, nullptr);
  ::signal(SIGPIPE, SIG_IGN);

  std::string error;
  if (!link->Start(error)) {
    std::fprintf(stderr, "paramdeck-devsim: %s\n", error.c_str());
    return 1;
  }
  if (!link->PtyPath().empty()) PrintLine(link->PtyPath());
  PrintLine(Stamp(clock) + "DEVICE address " + std::to_string(device.Address()) +
            (device.IsLongAddress() ? " (ZEBW)" : " (ZEB)"));

  const int rc = app.exec();
  events.stop();
  greeting.stop();
  link.reset();

  if (opt.save) {
    try {
      SaveImageFile(opt.imagePath, device.Image());
      PrintLine(Stamp(clock) + "DEVICE image saved to " + opt.imagePath);
    } catch (const std::exception& e) {
      std::fprintf(stderr, "paramdeck-devsim: %s\n", e.what());
      return 1;
    }
  }
  return rc;
}
