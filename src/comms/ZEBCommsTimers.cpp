// The engine's timer handlers: sending the head of the queue, the answer wait with its
// retransmissions, and failing requests while the link is down.

#include <algorithm>

#include "comms/CommsText.h"
#include "comms/ZEBComms.h"
#include "log/logUnit.h"
#include "platform/Cp1250.h"

namespace {

// Setting an interval re-arms a running timer; only do it when the interval changes, so a
// periodic timer that is told its own interval again keeps its rhythm.
void SetIntervalIfChanged(Timer& t, uint32_t ms) {
  if (t.Interval() != ms) t.SetInterval(ms);
}

uint32_t ClampMs(uint64_t ms) { return static_cast<uint32_t>(std::min<uint64_t>(ms, UINT32_MAX)); }

}  // namespace

void TZEBComms::Trace(const char* utf8Text) {
  if (DebugMode && LogWriter) LogWriter->WriteLog(Hu(utf8Text), false);
}

// Entry and exit lines of a timer handler for the trace, also on early returns.
class TraceScope {
 public:
  TraceScope(TZEBComms& comms, void (TZEBComms::*trace)(const char*), const char* enter, const char* leave)
      : comms_(comms), trace_(trace), leave_(leave) {
    (comms_.*trace_)(enter);
  }
  ~TraceScope() { (comms_.*trace_)(leave_); }

 private:
  TZEBComms& comms_;
  void (TZEBComms::*trace_)(const char*);
  const char* leave_;
};

#define PD_TRACE_SCOPE(name) \
  TraceScope traceScope(*this, &TZEBComms::Trace, "TZEBComms." name " Belépés", "TZEBComms." name " Kilépés")

void TZEBComms::WireTimers() {
  FSendTimer = FTimers.CreateTimer();
  FAnswerTimer = FTimers.CreateTimer();
  FQueueTimer = FTimers.CreateTimer();
  FReconnectTimer = FTimers.CreateTimer();
  FPollTimer = FTimers.CreateTimer();
  FProcessTimer = FTimers.CreateTimer();
  FSlowWriteTimer = FTimers.CreateTimer();
  FSendTimer->OnTimeout = [this] { OnTimerSendPackages(); };
  FPollTimer->OnTimeout = [this] { OnTimerSendPackages(); };
  FAnswerTimer->OnTimeout = [this] { Waiting_over(); };
  FQueueTimer->OnTimeout = [this] { OnQueueTimedOut(); };
  FReconnectTimer->OnTimeout = [this] { Open(); };
  FProcessTimer->OnTimeout = [this] { ProcessRxBuffer(); };
  FSlowWriteTimer->OnTimeout = [this] { SlowWriteTick(); };
}

void TZEBComms::StartAnswerTimer(const TKuldendo& r) {
  const uint64_t line = r.Options.Has(psoNoLineTimeout) ? 0 : LineTimeout;
  uint64_t wait;
  if (r.Options.Has(psoUsePollTimeout)) {
    wait = Timeout_Poll;
  } else {
    const uint64_t base = FTryCount <= 1 ? Timeout_1 : FTryCount == 2 ? Timeout_2 : Timeout_3;
    const uint64_t k = FTryCount <= 1 ? 1 : FTryCount == 2 ? 2 : 3;
    const uint64_t w = r.Wait != 0 ? k * static_cast<uint64_t>(r.Wait) : base;
    // The caller's wait normally only lengthens the engine's timeout.
    wait = BatchMode || r.Options.Has(psoErrorCodeRetry) ? w : std::max(w, base);
  }
  FAnswerTimer->Stop();
  FAnswerTimer->SetInterval(ClampMs(wait + line));
  FAnswerTimer->Start();
}

void TZEBComms::RestartAnswerTimer() {
  FAnswerTimer->Stop();
  FAnswerTimer->Start();
}

void TZEBComms::StartQueueTimerForHead() {
  const uint64_t own = static_cast<uint64_t>(std::abs(static_cast<int64_t>(FQueue.front()->Wait))) + LineTimeout;
  FQueueTimer->Stop();
  FQueueTimer->SetInterval(ClampMs(std::max<uint64_t>(own, static_cast<uint64_t>(LineTimeout) + Timeout_3)));
  FQueueTimer->Start();
  FLastSendTime = NowMs();
}

void TZEBComms::OnTimerSendPackages() {
  PD_TRACE_SCOPE("OnTimerSendPackages");
  if (!FActive) {
    Trace("TZEBComms.OnTimerSendPackages Nem aktív: lelőve");
    FPollTimer->Stop();
    FSendTimer->Stop();
    return;
  }
  if (FAnswerTimer->IsActive()) {
    Trace("TZEBComms.OnTimerSendPackages Válaszra várunk: kilépés");
    return;
  }
  // On the tick counter, so that a wall clock set back cannot hold the line for hours.
  if (Half_Duplex_Mode && FClock.TickMs() - FLastRxTick < static_cast<uint32_t>(std::max(Switch_Direction_Time, 0))) {
    Trace("TZEBComms.OnTimerSendPackages Half_Duplex_Mode: kilépés");
    return;
  }
  if (!FConnected) {
    Trace("TZEBComms.OnTimerSendPackages Nincs vonalban: leállítás");
    FSendTimer->Stop();
    if (!FQueue.empty() && !FQueueTimer->IsActive()) StartQueueTimerForHead();
    return;
  }
  SetIntervalIfChanged(*FSendTimer, 2);

  while (!FQueue.empty() && FQueue.front()->Discard) FQueue.pop_front();
  if (FQueue.empty()) {
    Trace("TZEBComms.OnTimerSendPackages Nincs több küldendő: leállítás");
    FSendTimer->Stop();
    return;
  }

  // The queue timer only guards a request that cannot go out; once the head is on its way
  // its answer timer owns it, and a later outage must not finish it behind that timer's back.
  FQueueTimer->Stop();
  const std::shared_ptr<TKuldendo> head = FQueue.front();
  const bool ack = AckRequested(*head);
  if (!head->Options.Has(psoKeepSerial)) head->Serial = NextSerial(FLastSerial);
  head->FirstSerial = head->Serial;
  if (!head->Options.Has(psoDontLog)) {
    std::string text = head->Options.Has(psoLogAsPoll) ? "POLLPAR" : "KIKULD";
    if (ack) text += "_ACK";
    if (head->Wait != 0) text += "_TOUT";
    if (head->Options.Has(psoDontWait)) text += "_WW";
    LogPacket(text, zeb_log::Transmission, 0, true, head->Packet, -1, head->Address, -1, head->Serial);
  }
  if (head->OnBeforeSend && !FDestroying) {
    head->OnBeforeSend(*head, *this);
    // The callback may have deactivated the engine or otherwise finished the request.
    if (FQueue.empty() || FQueue.front() != head || !FActive) return;
  }

  const uint16_t r = TransmitHead(*head, ack);
  if (r != 0 || head->Options.Has(psoDontWait)) {
    CompleteRequest(0, r, false, std::string());
    GoIdle();
    return;
  }
  FTryCount = 1;
  FWaitState = head->ExpectedAnswer.empty() && !ack ? 1 : 2;
  StartAnswerTimer(*head);
}

void TZEBComms::Waiting_over() {
  PD_TRACE_SCOPE("Waiting_over");
  SetIntervalIfChanged(*FAnswerTimer, ClampMs(static_cast<uint64_t>(LineTimeout) + Timeout_1));
  const std::shared_ptr<TKuldendo> head = FQueue.empty() ? nullptr : FQueue.front();
  const bool logFlag = head && !head->Options.Has(psoDontLog);
  const bool linkOK = FConnected && FActive;

  if (FWaitState == 1) {
    FAnswerTimer->Stop();
    if (head) {
      if (!head->ExpectedAnswer.empty()) {
        LogPacket("VAR VEGE, VALASZ OK", zeb_log::Request, head->SendTick, logFlag, head->StoredAnswer, -1,
                  head->Address, -1, head->Serial);
        const std::string stored = head->StoredAnswer;
        CompleteRequest(0, zeb_result::Ok, stored.empty(), stored);
      } else {
        LogPacket("URES VAR. VEGE", zeb_log::Request, head->SendTick, logFlag, head->Packet, -1, head->Address, -1,
                  head->Serial);
        CompleteRequest(0, zeb_result::Ok, true, std::string());
      }
    }
    GoIdle();
    return;
  }

  if (FWaitState != 2) {
    // Nothing is awaited; a running answer timer would only hold back the send timer.
    FAnswerTimer->Stop();
    return;
  }

  const bool mayRepeat = head && !head->Options.Has(psoNoRepeat) && !head->Discard &&
                         std::max(head->MaxTries, Max_tries_cmd) > FTryCount;
  if (mayRepeat && EnnyiIsmetlesUtanKapcsolatUjrafelepitese > 0 && FPort && !WsServerMode &&
      FTryCount == EnnyiIsmetlesUtanKapcsolatUjrafelepitese) {
    ++FTryCount;
    ApplyRepeatSerialRule(*head);
    LogPacket("UJRAKAPCSOLODAS", zeb_log::Request, head->SendTick, logFlag, head->Packet, -1, head->Address, -1,
              head->Serial);
    if (const TOnZEBCmdResult rebuild = OnKapcsolatUjrafelepitendo; rebuild && !FDestroying) {
      rebuild(*this, head->Packet, 0, 0, nullptr, std::string());
      if (FQueue.empty() || FQueue.front() != head || !FActive) return;
    }
    FConnected = false;
    FConnecting = false;
    try {
      FPort->Close();
    } catch (...) {
    }
    FReconnectTimer->Stop();
    FReconnectTimer->SetInterval(35);
    FReconnectTimer->Start();
    StartAnswerTimer(*head);
    return;
  }
  if (mayRepeat && linkOK) {
    ++FTryCount;
    ApplyRepeatSerialRule(*head);
    LogPacket(FormatText("PAR. UJRA %dX", FTryCount), zeb_log::Request, head->SendTick, logFlag, head->Packet, -1,
              head->Address, -1, head->Serial);
    TransmitHead(*head, AckRequested(*head));
    StartAnswerTimer(*head);
    return;
  }

  FAnswerTimer->Stop();
  if (head) {
    const bool poll = head->Options.Has(psoLogAsPoll);
    LogPacket(poll ? "POLL. SIKERTELEN" : "PAR. SIKERTELEN", zeb_log::Request, head->SendTick,
              logFlag && (!poll || Poll_Log), head->Packet, -1, head->Address, -1, head->Serial);
    const uint16_t code = linkOK ? zeb_result::NoAnswer : !FActive ? zeb_result::NotActive : zeb_result::NoConnection;
    CompleteRequest(0, code, false, std::string());
  }
  GoIdle();
}

void TZEBComms::OnQueueTimedOut() {
  PD_TRACE_SCOPE("OnQueueTimedOut");
  FQueueTimer->Stop();
  if (FConnected || FQueue.empty()) return;
  const std::shared_ptr<TKuldendo> head = FQueue.front();
  LogPacket("NINCS KAPCSOLAT", zeb_log::Request, head->SendTick, !head->Options.Has(psoDontLog), head->Packet,
            FLastSendTime, head->Address, -1, -1);
  const uint16_t code = FOpenFailReason == 1   ? zeb_result::PortInUse
                        : FOpenFailReason == 2 ? zeb_result::NoSuchPort
                                               : zeb_result::NoConnection;
  CompleteRequest(0, code, false, std::string());
  if (!FQueue.empty() && !FConnected && FActive && !FQueueTimer->IsActive()) StartQueueTimerForHead();
}
