// The payloads of the host messages. wParam and lParam are never trusted: a buffer is accepted only
// when wParam is the base of a committed allocation of this process that holds the whole length, and
// only an accepted buffer is freed (once, on every path out of its handler).
#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace cwbk {

// A buffer or text payload: owns the allocation when it was accepted and frees it when destroyed.
class MessagePayload {
public:
  // unitSize is 1 for byte buffers and 2 for UTF-16 texts (lParam counts units).
  MessagePayload(WPARAM wParam, LPARAM lParam, size_t unitSize);
  ~MessagePayload();
  MessagePayload(const MessagePayload&) = delete;
  MessagePayload& operator=(const MessagePayload&) = delete;

  // True when wParam was 0 (no data came).
  bool none() const { return none_; }
  // True when the buffer was accepted (and will be freed).
  bool accepted() const { return base_ != nullptr; }
  std::span<const uint8_t> bytes() const { return {static_cast<const uint8_t*>(base_), size_}; }
  // The text of a text payload: exactly lParam units, without a terminator.
  std::u16string text() const;

private:
  void* base_ = nullptr;
  size_t size_ = 0;
  bool none_ = false;
};

// Returns the terminated UTF-16 text at an address that the sender keeps (not freed), read only inside
// committed readable memory of this process and at most maxUnits long; nullopt when it is not there.
std::optional<std::u16string> terminatedTextAt(LPARAM address, size_t maxUnits = 4096);

} // namespace cwbk
