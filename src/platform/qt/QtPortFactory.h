#pragma once

#include <memory>

#include "platform/Port.h"

// Makes the engine's link for the Qt executables: one port that is a serial port or a TCP
// client socket, whichever the settings of each opening ask for, so that an engine can be
// switched between the two without a new port.
class QtPortFactory : public PortFactory {
 public:
  std::unique_ptr<Port> CreatePort() override;
};
