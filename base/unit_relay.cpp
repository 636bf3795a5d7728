// The relay keeps one list of events per unit behind one lock; the reporting thread takes a
// unit's events in batches and waits on a condition variable when the list is empty and the
// unit is still running.
#include "base/unit_relay.h"

#include <condition_variable>
#include <cstdarg>
#include <mutex>
#include <string>
#include <vector>

namespace {

enum class EventKind { Log, Print, Error, Fraction, Progress };

struct RelayEvent {
  EventKind kind;
  std::string text;     // Log, Print, Error
  double fraction = 0;  // Fraction: the console record's progress call
  int64_t done = 0;     // Progress: the unit's progress sink
  int64_t total = 0;
};

}  // namespace

// One unit's console record; `ops` comes first so that the callbacks find the unit from it.
struct RelayUnitConsole {
  ConsoleOps ops;
  UnitRelay* relay = nullptr;
  int64_t unit = 0;
};

struct UnitRelay {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::vector<RelayEvent>> events;  // per unit, not yet replayed
  std::vector<bool> finished;
  std::vector<std::unique_ptr<RelayUnitConsole>> consoles;
  int64_t replaying = -1;  // the unit replay_unit is taking events of, or -1
};

namespace {

// Progress comes about once a row: the reporting thread is woken for every 64th pending event of
// the unit it replays (and for any line of it), so it takes them in batches instead of taking a
// core from the workers for every row. The events of the units after it wait without waking it:
// it takes them all at once when it gets there. A unit's end always wakes it.
constexpr size_t kWakeBatch = 64;

void record(UnitRelay* relay, int64_t unit, RelayEvent event) {
  const bool line = event.kind != EventKind::Progress && event.kind != EventKind::Fraction;
  std::lock_guard<std::mutex> guard(relay->mutex);
  std::vector<RelayEvent>& pending = relay->events[static_cast<size_t>(unit)];
  pending.push_back(std::move(event));
  if (unit == relay->replaying && (line || pending.size() >= kWakeBatch)) {
    relay->changed.notify_all();
  }
}

RelayUnitConsole* unit_of(ConsoleOps* ops) {
  return reinterpret_cast<RelayUnitConsole*>(ops);
}

std::string format_text(ConsoleOps* ops, const char* format, va_list args) {
  const int length = console_format_into_scratch(ops, format, args);
  return length > 0 ? std::string(ops->scratch, static_cast<size_t>(length)) : std::string();
}

std::string relay_format(ConsoleOps* ops, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = format_text(ops, format, args);
  va_end(args);
  return text;
}

void relay_log(ConsoleOps* ops, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = format_text(ops, format, args);
  va_end(args);
  RelayUnitConsole* unit = unit_of(ops);
  record(unit->relay, unit->unit, {EventKind::Log, std::move(text)});
}

// Lines for the error stream report failures that may end the process at once (a swap file
// that cannot be written), before the unit's other lines are replayed: they go out right away,
// through the process-wide record, whose callbacks may be called from any thread.
void relay_log_error(ConsoleOps* ops, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const std::string text = format_text(ops, format, args);
  va_end(args);
  ConsoleOps* console = console_ops();
  console->log_error(console, "%s", text.c_str());
}

void relay_print(ConsoleOps* ops, const char* text) {
  RelayUnitConsole* unit = unit_of(ops);
  record(unit->relay, unit->unit, {EventKind::Print, text});
}

void relay_error(ConsoleOps* ops, const char* text) {
  RelayUnitConsole* unit = unit_of(ops);
  record(unit->relay, unit->unit, {EventKind::Error, text});
}

void relay_fraction(ConsoleOps* ops, double fraction) {
  RelayUnitConsole* unit = unit_of(ops);
  RelayEvent event{EventKind::Fraction, {}};
  event.fraction = fraction;
  record(unit->relay, unit->unit, std::move(event));
}

void replay_event(const RelayEvent& event, const RelayTarget& target) {
  ConsoleOps* console = target.console;
  switch (event.kind) {
    case EventKind::Log:
      if (console) console->log(console, "%s", event.text.c_str());
      break;
    case EventKind::Print:
      if (console) console->print(console, event.text.c_str());
      break;
    case EventKind::Error:
      if (console) console->error(console, event.text.c_str());
      break;
    case EventKind::Fraction:
      if (console) console->progress(console, event.fraction);
      break;
    case EventKind::Progress:
      if (target.progress) target.progress(target.progress_user, event.done, event.total);
      break;
  }
}

}  // namespace

void UnitRelayDeleter::operator()(UnitRelay* relay) const {
  if (!relay) return;
  for (auto& console : relay->consoles) {
    if (console) console_release_scratch(&console->ops);
  }
  std::unique_ptr<UnitRelay> owner(relay);
}

UnitRelayPtr create_unit_relay(int64_t units) {
  UnitRelayPtr relay(std::make_unique<UnitRelay>().release());
  const size_t count = static_cast<size_t>(units < 0 ? 0 : units);
  relay->events.resize(count);
  relay->finished.assign(count, false);
  relay->consoles.resize(count);
  for (size_t unit = 0; unit < count; ++unit) {
    auto console = std::make_unique<RelayUnitConsole>();
    console->relay = relay.get();
    console->unit = static_cast<int64_t>(unit);
    ConsoleOps& ops = console->ops;
    ops.format = relay_format;
    ops.log = relay_log;
    ops.print = relay_print;
    ops.progress = relay_fraction;
    ops.error = relay_error;
    ops.log_error = relay_log_error;
    relay->consoles[unit] = std::move(console);
  }
  return relay;
}

ConsoleOps* unit_console(UnitRelay* relay, int64_t unit) {
  return &relay->consoles[static_cast<size_t>(unit)]->ops;
}

void* unit_progress_user(UnitRelay* relay, int64_t unit) {
  return relay->consoles[static_cast<size_t>(unit)].get();
}

void relay_unit_progress(void* user, int64_t done, int64_t total) {
  RelayUnitConsole* unit = static_cast<RelayUnitConsole*>(user);
  RelayEvent event{EventKind::Progress, {}};
  event.done = done;
  event.total = total;
  record(unit->relay, unit->unit, std::move(event));
}

void finish_unit(UnitRelay* relay, int64_t unit) {
  std::lock_guard<std::mutex> guard(relay->mutex);
  relay->finished[static_cast<size_t>(unit)] = true;
  relay->changed.notify_all();
}

void replay_unit(UnitRelay* relay, int64_t unit, const RelayTarget& target) {
  const size_t index = static_cast<size_t>(unit);
  std::vector<RelayEvent> batch;
  for (;;) {
    bool finished = false;
    {
      std::unique_lock<std::mutex> lock(relay->mutex);
      relay->replaying = unit;
      relay->changed.wait(lock,
                          [&] { return !relay->events[index].empty() || relay->finished[index]; });
      batch.swap(relay->events[index]);
      finished = relay->finished[index] && batch.empty();
      if (finished) relay->replaying = -1;
    }
    for (const RelayEvent& event : batch) replay_event(event, target);
    batch.clear();
    if (finished) return;
  }
}
