// What happens while a call runs reaches the caller as Events, through one
// function, always on the calling thread and in the archive's order: the
// workers of an extraction hand theirs back with their batch. The caller
// owns the cancel flag; a call stops (undoing an unfinished change) once it
// is non-zero, or once the event function returns false.
#ifndef KEL_LIB_EVENTS_H_
#define KEL_LIB_EVENTS_H_

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "kel.h"

namespace kel {

using EventKind = kel_event_kind;

/// kel_event as C++: the strings are owned, so that a worker can keep it.
struct Event {
  EventKind kind = KEL_EVENT_FILE;
  kel_code code = KEL_OK;
  int systemError = 0;
  std::string path;
  std::string other;
  uint64_t address = 0;
  uint64_t size = 0;
  uint64_t oldSize = 0;
  uint64_t done = 0;
  uint64_t number = 0;
};

/// Takes an event; false stops the call.
using EventFn = std::function<bool(const Event&)>;

/// What every call takes from its caller: where events go, and the flag
/// that cancels it. Both may be absent.
struct Context {
  EventFn onEvent;
  const std::atomic<int>* cancel = nullptr;
  /// Set once the event function asked to stop.
  mutable std::atomic<bool> stopped{false};

  bool Cancelled() const { return stopped.load() || (cancel != nullptr && cancel->load() != 0); }
  /// Hands `event` over; false (and stopped from then on) when the caller stops the call.
  bool Report(const Event& event) const {
    if (onEvent && !onEvent(event)) stopped = true;
    return !stopped;
  }
};

}  // namespace kel

#endif  // KEL_LIB_EVENTS_H_
