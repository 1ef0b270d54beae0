#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

// The byte links of paramdeck-devsim, all on the Qt event loop of the calling thread.
class DevsimLink {
 public:
  virtual ~DevsimLink() = default;
  // Returns false with a reason when the link cannot be set up at all.
  virtual bool Start(std::string& error) = 0;
  // Bytes for the PC; dropped while nobody is connected.
  virtual void Write(std::string_view bytes) = 0;
  // A TCP peer is there (pseudo-terminals have no such moment).
  virtual bool IsTcp() const = 0;
  // The device path of a pseudo-terminal link, empty for the others.
  virtual std::string PtyPath() const { return {}; }

  std::function<void(std::string_view)> OnBytes;
  std::function<void()> OnUp;    // a PC connection came up
  std::function<void()> OnDown;  // it went away
  std::function<void(const std::string&)> OnNote;  // a line for the operator
};

// Waits for the PC as a TCP server; one PC at a time, a newer connection replaces the older.
std::unique_ptr<DevsimLink> MakeListenLink(const std::string& bindAddress, uint16_t port);
// Connects to the PC's device server and keeps reconnecting every reconnectMs.
std::unique_ptr<DevsimLink> MakeConnectLink(const std::string& host, uint16_t port, uint32_t reconnectMs);
// Creates a pseudo-terminal; the PC opens its slave side, whose path Start() announces.
std::unique_ptr<DevsimLink> MakePtyLink();
