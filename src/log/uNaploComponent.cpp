#include "log/uNaploComponent.h"

TNaploComponent::TNaploComponent(const Clock& clock) : naplo_(std::make_unique<TNaplo>(clock, this)) {
  naplo_->SetLogFile("./Quorv.log");
}

TNaploComponent::~TNaploComponent() = default;

TLogLevel TNaploComponent::LogLevel() const {
  const int v = naplo_->LogLevelValue;
  if (v <= 1) return TLogLevel::LogErrorsOnly;
  if (v <= 4) return TLogLevel::LogFromWarningsUp;
  if (v <= 8) return TLogLevel::LogFromNotesUp;
  return TLogLevel::LogEverything;
}

void TNaploComponent::SetLogLevel(TLogLevel level) {
  switch (level) {
    case TLogLevel::LogErrorsOnly: naplo_->LogLevelValue = 1; break;
    case TLogLevel::LogFromWarningsUp: naplo_->LogLevelValue = 4; break;
    case TLogLevel::LogFromNotesUp: naplo_->LogLevelValue = 8; break;
    default: naplo_->LogLevelValue = 99; break;
  }
}
