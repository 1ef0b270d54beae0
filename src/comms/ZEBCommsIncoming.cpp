// The engine's incoming side: cutting frames out of the receive buffer, classifying each
// against the request in flight, acknowledging, and handing unsolicited packets on.

#include <algorithm>

#include "comms/CommsText.h"
#include "comms/IncomingCase.h"
#include "comms/TextSensor.h"
#include "comms/ZEBComms.h"

namespace {

constexpr int kBadAddress = 4;  // decode result of a frame with an address not allowed

}  // namespace

void TZEBComms::ProcessRxBuffer() {
  if (FInProcessing) return;
  FInProcessing = true;
  struct Reset {
    TZEBComms& c;
    ~Reset() {
      c.FInProcessing = false;
      c.FProcessTimer->Stop();
      c.Trace("TZEBComms.OnPckProcessing Kilépés");
    }
  } reset{*this};
  Trace("TZEBComms.OnPckProcessing Belépés");
  if (!FActive) return;

  if (KRM_to_ZEB) {
    RunTextSensorConversion();
    return;
  }
  for (;;) {
    const std::string frame = FRxProtocol.ExtractFrame(FRxBuffer);
    if (!FRxProtocol.SkippedBytes.empty())
      LogPacket("CHUNK:", zeb_log::Raw, 0, true, FRxProtocol.SkippedBytes, -1, -1, -1, -1);
    if (frame.empty()) break;
    HandleFrame(frame);
    // A callback may have deactivated the engine; what is left is dropped at the next
    // activation.
    if (!FActive || FDestroying) break;
  }
}

void TZEBComms::HandleFrame(const std::string& frame) {
  const std::string payload = FRxProtocol.Decode(frame);
  const std::shared_ptr<TKuldendo> head = FQueue.empty() ? nullptr : FQueue.front();

  TIncomingFacts f;
  f.ok = FRxProtocol.DecodeResult == 0;
  f.waiting = FAnswerTimer->IsActive() && FWaitState == 2 && head;
  f.waitState = FWaitState;

  int64_t rxSerial = -1, rxSource = -1, rxDest = -1;
  uint32_t rxShort = 0;
  const TInfo info = FRxProtocol.Info;
  const bool frameWasW = FRxProtocol.LastFrameWasW;
  if (f.ok) {
    rxSerial = FRxProtocol.CsomagSorszam;
    rxSource = FRxProtocol.Felado;
    rxDest = FRxProtocol.Cimzett;
    rxShort = FRxProtocol.Felado_rovid_cim;
    FLastRxSerial = static_cast<int>(rxSerial);
    LastPckTime = NowMs();

    f.forMe = rxDest == ZEB_PC_ADDRESS || (BroadcastVetele && (rxDest == ZEB_BROADCAST_ADDRESS || rxDest == 0)) ||
              MindenVetele;
    f.fromExpected = FWaitFromAddress == 255 || FWaitFromAddress == UINT32_MAX ||
                     (FWaitFromAddress < 255 && FWaitFromAddress == rxShort) ||
                     (FWaitFromAddress > 255 && FWaitFromAddress == rxSource);
    f.isNack = info == TInfo::negativ_nyugta;
    f.isAck = info == TInfo::pozitiv_nyugta || info == TInfo::ismetelt_csomag;
    f.isEvent = !payload.empty() && payload[0] == 'E';
    if (head) {
      f.expectsAnswer = !head->ExpectedAnswer.empty();
      f.forceWait = head->Options.Has(psoForceWait);
      f.waitAfterAck = head->Options.Has(psoWaitAfterAck);
      f.answerMatches = AnswerMatches(head->ExpectedAnswer, payload);
      f.answerDiffers = AnswerDiffers(head->ExpectedAnswer, payload);
    }
    const bool noIdCheck =
        head && (head->Options.Has(psoNoPckIDCheck) ||
                 (NoPckIDCheck && f.expectsAnswer && !head->Options.Has(psoStrictPckIDCheck)));
    bool idPrev;
    if (noIdCheck) {
      f.idMatch = idPrev = true;
    } else {
      const int reference = f.expectsAnswer ? head->Serial : FLastSerial;
      f.idMatch = rxSerial == reference;
      idPrev = rxSerial == reference - 1;
    }
    f.looseMatch = LoosePckIDCheck && idPrev && f.fromExpected && f.answerMatches && FTryCount > 1;

    if (f.forMe && info == TInfo::kerek_nyugtat && Nyugtazas) {
      LogPacket("NYUGTAKULDES", zeb_log::Transmission, 0, true, std::string(), -1, rxSource, -1,
                static_cast<int>(rxSerial));
      SendFrame(std::string(), TInfo::pozitiv_nyugta, frameWasW ? 1 : 0, true, 0, false, static_cast<int>(rxSerial),
                static_cast<uint32_t>(rxSource));
    }
  }

  const int kase = ClassifyIncoming(f);
  const bool fromOtherPc = rxSource == ZEB_PC_ADDRESS && DontLogPcksFromPc;
  const bool hasHead = head != nullptr;
  const bool headLogs = hasHead && !head->Options.Has(psoDontLog);

  // A verdict line: timed from the head's last transmission when it concerns the request,
  // otherwise from the last frame sent, or not timed at all.
  enum Timing { FromRequest, FromLastSend, NoTime };
  auto verdict = [&](const std::string& text, Timing timing, bool showPayload, bool logFlag = true) {
    uint32_t sendTick = 0;
    int64_t refTime = -1;
    if (timing == FromRequest && hasHead) {
      sendTick = head->SendTick;
      logFlag = logFlag && headLogs;
    } else if (timing != NoTime) {
      refTime = FLastSendTime;
    }
    LogPacket(text, zeb_log::Verdict, sendTick, logFlag, showPayload ? payload : std::string(), refTime, rxDest,
              rxSource, static_cast<int>(rxSerial));
  };
  auto record = [&] {
    TOnReadPacketData d;
    d.Source = static_cast<uint32_t>(rxSource);
    d.SourceShort = static_cast<int>(rxShort);
    d.Destination = static_cast<uint32_t>(rxDest);
    d.Data = payload;
    d.RawFrame = frame;
    d.Info = info;
    return d;
  };
  const bool deliverUnlessAck = (!f.isAck && !f.isNack) || MindenVetele;
  const bool isPositiveAck = info == TInfo::pozitiv_nyugta;

  switch (kase) {
    case 0:
      if (hasHead && std::max(head->MaxTries, Max_tries_cmd) <= FTryCount) {
        // A refusal retransmits at once, but it is a transmission like any other: a device
        // that keeps refusing would otherwise be hammered every millisecond, and the caller
        // would never hear back.
        FAnswerTimer->Stop();
        verdict("NACK - TOROLT CS", FromRequest, false);
        CompleteRequest(0, zeb_result::NoAnswer, false, std::string());
        GoIdle();
      } else if (hasHead) {
        verdict("NACK - UJRAKULD", FromRequest, false);
        ++FTryCount;
        ApplyRepeatSerialRule(*head);
        const bool forceW = head->Options.Has(psoForceZEBW);
        SendFrame(head->Packet, TInfo::kerek_nyugtat, forceW ? 1 : 0, forceW || head->Options.Has(psoForceZEB),
                  head->Options.Has(psoNoASYER) ? 1 : 0, head->Options.Has(psoDisableBitmatrix), head->Serial,
                  static_cast<uint32_t>(rxSource));
        head->SendTick = FClock.TickMs();
        StartAnswerTimer(*head);
      } else {
        verdict("NACK - TOROLT CS", FromLastSend, false);
      }
      break;
    case 1:
      verdict("KOSZA NACK,VARUNK", FromLastSend, false);
      RestartAnswerTimer();
      break;
    case 2:
      verdict("KOSZA ACK,VARUNK", FromLastSend, false);
      RestartAnswerTimer();
      break;
    case 3:
      verdict(f.isEvent ? "ESEMENY,VARUNK" : "KOSZA CS,VARUNK", FromLastSend, true);
      RestartAnswerTimer();
      if (f.isEvent || MindenVetele) Deliver(record());
      break;
    case 4:
      FAnswerTimer->Stop();
      if (hasHead) {
        verdict("NYUGTA - OK", FromRequest, true);
        CompleteRequest(0, zeb_result::Ok, isPositiveAck, payload);
      } else {
        verdict("NYUGTA", FromLastSend, false);
      }
      GoIdle();
      break;
    case 5:
      FAnswerTimer->Stop();
      if (hasHead) {
        verdict("VALASZ - OK", FromRequest, true);
        CompleteRequest(0, zeb_result::Ok, isPositiveAck, payload);
      } else {
        verdict("NEM VART CS", FromLastSend, false);
      }
      GoIdle();
      break;
    case 6:
      if (hasHead) {
        verdict("VALASZ,MEG VARUNK", FromRequest, true);
        FWaitState = 1;
        head->StoredAnswer = payload;
      }
      break;
    case 7:
      FAnswerTimer->Stop();
      if (hasHead) {
        verdict("NEM JO VALASZ", FromRequest, true);
        CompleteRequest(0, zeb_result::WrongAnswer, false, payload);
      } else {
        verdict("NEM VART VCS", FromLastSend, false);
      }
      GoIdle();
      break;
    case 8:
      verdict(f.isEvent ? "ESEMENY,VARUNK" : "NEM JO VALASZ,VARUNK", FromLastSend, true);
      if (deliverUnlessAck) Deliver(record());
      break;
    case 9:
      if (hasHead) {
        verdict("PNY - VAR INDUL", FromRequest, false);
        FWaitState = f.expectsAnswer ? 2 : 1;
        head->Options.Add(psoNoRepeat);
        FTryCount = 1;
        StartAnswerTimer(*head);
      }
      break;
    case 10:
      if (hasHead) {
        verdict("PNY - VAR FOLYT", FromLastSend, false);
        FWaitState = f.expectsAnswer ? 2 : 1;
        head->Options.Add(psoNoRepeat);
      }
      break;
    case 11:
      verdict("POLLVAL - CS OK", FromLastSend, true, Poll_Log);
      FAnswerTimer->Stop();
      Deliver(record());
      GoIdle();
      break;
    case 12:
      verdict("NEM CIMZETT,VARUNK", FromLastSend, true, !fromOtherPc);
      if (deliverUnlessAck) Deliver(record());
      break;
    case 13:
      verdict("NEM PCNEK", NoTime, true, Log_All_Packages && !fromOtherPc);
      break;
    case 14:
      if (FRxProtocol.DecodeResult == kBadAddress) {
        // The device refused the address. The payload of a frame that failed to decode means
        // nothing, so the line shows the frame itself.
        FAnswerTimer->Stop();
        const uint32_t sendTick = hasHead ? head->SendTick : 0;
        LogPacket("ROSSZ CIM", zeb_log::Verdict, sendTick, !hasHead || headLogs, frame, hasHead ? -1 : FLastSendTime,
                  -1, -1, -1);
        if (hasHead) CompleteRequest(0, zeb_result::AddressRejected, false, std::string());
        GoIdle();
      } else {
        LogPacket(FormatText("HIBAS:%d %s,VARUNK", FRxProtocol.DecodeResult,
                             DecodeResultText(FRxProtocol.DecodeResult).c_str()),
                  zeb_log::Damaged, 0, true, frame, FLastSendTime, -1, -1, -1);
      }
      break;
    case 15:
      LogPacket(FormatText("HIBAS:%d %s", FRxProtocol.DecodeResult, DecodeResultText(FRxProtocol.DecodeResult).c_str()),
                zeb_log::Damaged, 0, true, frame, -1, -1, -1, -1);
      break;
    case 16:
      verdict(FWaitState == 1 ? "CS VAR. KOZBEN" : f.isEvent ? "ESEMENYCS" : "NEM VART CS", NoTime, true, !fromOtherPc);
      if (deliverUnlessAck) Deliver(record());
      break;
    case 17:
      if (hasHead) {
        verdict("HIBAKOD - UJRAKULD", FromRequest, true);
        head->Wait = 300;
        head->MaxTries = 10;
        head->Options.Add(psoErrorCodeRetry);
        FWaitState = 2;
        ApplyRepeatSerialRule(*head);
        StartAnswerTimer(*head);
      } else {
        verdict("HIBAKOD - TOROLT CS", FromLastSend, true);
      }
      break;
    default:
      break;
  }
}

void TZEBComms::Deliver(const TOnReadPacketData& record) {
  if (!FActive || ZEBAddress == 0) return;
  if (record.Source != ZEBAddress && !Can_address_everyone) return;
  if (AutoAnswer && record.Data.compare(0, AutoAnswerCmd.size(), AutoAnswerCmd) == 0) {
    SendFrame(AutoAnswerAns, TInfo::nem_kerek_nyugtat, 0, false, 0, false, FLastRxSerial, record.Source);
    return;
  }
  const bool ackText = !KRM_to_ZEB && record.Info == TInfo::pozitiv_nyugta && Nyugtat_is_jelezze;
  const std::string text = ackText ? std::string("CSYAC") : record.Data;
  if (FDestroying) return;
  // Called through copies: a handler may assign the event anew while it runs.
  if (const TOnIncomingMax max = OnReadMax)
    max(*this, record);
  else if (const TOnIncomingEx ex = OnReadEx)
    ex(*this, text, 0);
  else if (const TOnIncoming_tagged read = OnRead)
    read(text, 0, 0);
}

void TZEBComms::RunTextSensorConversion() {
  for (size_t lf = FRxBuffer.find('\n'); lf != std::string::npos && FActive; lf = FRxBuffer.find('\n')) {
    std::string line = FRxBuffer.substr(0, lf);
    FRxBuffer.erase(0, lf + 1);
    const size_t star = line.rfind('*');
    if (star != std::string::npos) line.erase(0, star);
    if (line.size() <= 2) continue;
    for (const TTextSensorRecord& r : ConvertTextSensorLine(line)) {
      TOnReadPacketData d;
      d.Source = r.Channel + 1;
      d.SourceShort = static_cast<int>(r.Channel + 1);
      d.Destination = ZEB_PC_ADDRESS;
      d.Info = TInfo::nem_kerek_nyugtat;
      d.RawFrame = line;
      d.Data = r.Data;
      Deliver(d);
    }
  }
}
