#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "SimulatedDevice.h"

// The command line of paramdeck-devsim, parsed without any Qt so that it can be tested.
struct DevsimOptions {
  enum class Link { Listen, Connect, Pty };

  bool help = false;
  Link link = Link::Listen;
  std::string bindAddress = "0.0.0.0";
  uint16_t listenPort = 0;  // 0: any free port, printed at start
  std::string host;
  uint16_t port = 0;
  uint32_t reconnectMs = 1000;

  uint32_t address = 1;
  std::string identity = "PARAMDECK DEVSIM";
  std::string imagePath;
  bool save = false;
  uint32_t silentFirstSeconds = 0;
  uint32_t answerDelayMs = 0;
  uint32_t eventEveryMs = 0;
  std::string eventPayload = "ESYEV";
  SimulatedDeviceFaults faults;
};

// Throws std::invalid_argument with a message naming the offending option.
DevsimOptions ParseDevsimOptions(const std::vector<std::string>& args);
std::string DevsimUsage();

// The EEPROM image file holds the image bytes as they stand, at most kImageSize of them; a
// shorter file fills the start of the image and leaves the rest zero. Both throw
// std::runtime_error with the path and the reason.
std::string LoadImageFile(const std::string& path);
// Writes through a temporary file beside the target, so a failed write keeps the old file.
void SaveImageFile(const std::string& path, const std::string& image);
