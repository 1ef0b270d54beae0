#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QTimer>
#include <gtest/gtest.h>

#include "platform/Cp1250.h"
#include "platform/qt/QtClock.h"
#include "platform/qt/QtText.h"
#include "platform/qt/QtTimer.h"
#include "support/QtEventLoop.h"

namespace {

std::string AllBytes() {
  std::string s;
  for (int b = 0; b < 256; ++b) s.push_back(static_cast<char>(b));
  return s;
}

TEST(QtText, EveryByteRoundTripsThroughQString) {
  const std::string all = AllBytes();
  const QString text = Cp1250ToQString(all);
  ASSERT_EQ(text.size(), 256);
  EXPECT_EQ(QStringToCp1250(text), all);
  // Same mapping as the UTF-8 route.
  EXPECT_EQ(text.toUtf8().toStdString(), Cp1250ToUtf8(all));
  EXPECT_EQ(text.at(0xF5), QChar(0x0151));
  EXPECT_EQ(text.at(0x81), QChar(0x0081));
}

TEST(QtText, UnmappableCharactersBecomeOneQuestionMarkEach) {
  EXPECT_EQ(QStringToCp1250(QString::fromUtf8("ő\u4E2D\U0001F600x")), "\xF5??x");
  const QChar lone[] = {QChar(0xD800), QChar('a'), QChar(0xDC00)};
  EXPECT_EQ(QStringToCp1250(QString(lone, 3)), "?a?");
}

// Qt's Unicode case tables as the independent judge of the code page's case pairs.
TEST(QtText, CaseFoldingAgreesWithUnicode) {
  for (int b = 0; b < 256; ++b) {
    const QChar c(static_cast<char16_t>(Cp1250ToCodePoint(static_cast<unsigned char>(b))));
    for (const bool lower : {true, false}) {
      const QChar mapped = lower ? c.toLower() : c.toUpper();
      unsigned char expected = static_cast<unsigned char>(b);
      CodePointToCp1250(mapped.unicode(), expected);  // no byte for it: the byte stays
      const char got = lower ? Cp1250ToLower(static_cast<char>(b)) : Cp1250ToUpper(static_cast<char>(b));
      EXPECT_EQ(static_cast<unsigned char>(got), expected) << std::hex << b << (lower ? " lower" : " upper");
    }
  }
  EXPECT_TRUE(Cp1250EqualNoCase(Hu("ÁRVÍZTŰRŐ Tükörfúrógép"), Hu("árvíztűrő TÜKÖRFÚRÓGÉP")));
  EXPECT_FALSE(Cp1250EqualNoCase(Hu("ő"), Hu("ö")));
  EXPECT_EQ(Cp1250Upper(Hu("ßł×")), Hu("ßŁ×"));
}

TEST(QtClock, TickIsMonotonicAndNowIsTheLocalTime) {
  QtClock clock;
  const QDateTime before = QDateTime::currentDateTime();
  const WallTime now = clock.Now();
  const QDateTime back(QDate(now.year, now.month, now.day), QTime(now.hour, now.minute, now.second, now.msec));
  EXPECT_LE(std::abs(before.msecsTo(back)), 1000);
  const uint32_t t0 = clock.TickMs();
  QElapsedTimer wait;
  wait.start();
  while (wait.elapsed() < 20) {
  }
  const uint32_t elapsed = clock.TickMs() - t0;
  EXPECT_GE(elapsed, 19u);
  EXPECT_LT(elapsed, 1000u);
}

TEST(QtTimer, FiresOnTheEventLoopLikeTheVirtualOnes) {
  QCoreApplication& app = TestApp();
  QtTimerFactory factory;
  QtClock clock;

  auto periodic = factory.CreateTimer();
  auto single = factory.CreateTimer();
  auto selfDestroying = factory.CreateTimer();
  int periodicRuns = 0, singleRuns = 0, selfRuns = 0;
  bool singleActiveInCallback = true;
  const uint32_t start = clock.TickMs();
  uint32_t singleAt = 0;

  periodic->SetInterval(10);
  periodic->OnTimeout = [&] {
    if (++periodicRuns == 3) periodic->Stop();
  };
  single->SetInterval(40);
  single->SetSingleShot(true);
  single->OnTimeout = [&] {
    ++singleRuns;
    singleAt = clock.TickMs() - start;
    singleActiveInCallback = single->IsActive();
  };
  selfDestroying->SetInterval(5);
  selfDestroying->OnTimeout = [&] {
    ++selfRuns;
    selfDestroying.reset();
  };
  periodic->Start();
  single->Start();
  selfDestroying->Start();
  EXPECT_TRUE(single->IsActive());

  QTimer::singleShot(300, &app, &QCoreApplication::quit);
  app.exec();

  EXPECT_EQ(periodicRuns, 3);
  EXPECT_FALSE(periodic->IsActive());
  EXPECT_EQ(singleRuns, 1);
  EXPECT_FALSE(singleActiveInCallback);
  EXPECT_GE(singleAt, 39u);
  EXPECT_LT(singleAt, 300u);
  EXPECT_EQ(selfRuns, 1);
  EXPECT_EQ(selfDestroying, nullptr);

  // Changing the interval of a running timer re-arms it.
  single->SetInterval(1000000);
  single->Start();
  single->SetInterval(30);
  EXPECT_TRUE(single->IsActive());
  EXPECT_EQ(single->Interval(), 30u);
  singleRuns = 0;
  QTimer::singleShot(200, &app, &QCoreApplication::quit);
  app.exec();
  EXPECT_EQ(singleRuns, 1);
}

}  // namespace
