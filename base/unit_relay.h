// Hands what units of work running on helper threads would print or report to the one thread
// that prints, in unit order: the reporting thread replays unit 0's lines and progress calls as
// they come, then unit 1's, and so on, so the console shows exactly what a single thread running
// the units one after the other would have shown.
#pragma once

#include <cstdint>
#include <memory>

#include "base/console.h"

struct UnitRelay;
struct UnitRelayDeleter {
  void operator()(UnitRelay* relay) const;
};
using UnitRelayPtr = std::unique_ptr<UnitRelay, UnitRelayDeleter>;

// A relay for units 0 … units - 1.
UnitRelayPtr create_unit_relay(int64_t units);

// The console record a unit prints through: format, log, print, error and progress are recorded
// for the replay; log_error lines go out at once through the process-wide record (they report
// failures that may end the process before the replay). Owned by the relay.
ConsoleOps* unit_console(UnitRelay* relay, int64_t unit);

// A progress sink (done, total) for a unit: pass relay_unit_progress with this user.
void* unit_progress_user(UnitRelay* relay, int64_t unit);
void relay_unit_progress(void* user, int64_t done, int64_t total);

// Marks a unit as finished; nothing more may be recorded for it.
void finish_unit(UnitRelay* relay, int64_t unit);

// Where replayed events go: the console lines to console, progress calls to progress(user, …).
struct RelayTarget {
  ConsoleOps* console = nullptr;
  void (*progress)(void* user, int64_t done, int64_t total) = nullptr;
  void* progress_user = nullptr;
};

// Replays the unit's events in the order they were recorded, waiting for more until the unit is
// finished.
void replay_unit(UnitRelay* relay, int64_t unit, const RelayTarget& target);
