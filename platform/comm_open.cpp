// The time-limited device open shared by every host (see comm_open.h).
#include "platform/comm_open.h"

#include <chrono>
#include <map>
#include <memory>
#include <mutex>

#include "platform/sync.h"

namespace sio::platform::comm_open {

namespace {

using Clock = std::chrono::steady_clock;

// One system open, shared by its thread and whoever waits for it.
struct Attempt {
  std::string path;
  SystemOpen open = nullptr;
  SystemClose close = nullptr;
  std::mutex mu;
  bool finished = false;   // the system call has returned
  bool abandoned = false;  // its caller has given up on it
  SystemResult result;
  // Set once the attempt is over: its result taken, or, abandoned, what it
  // got closed again. Manual reset, so every waiter sees it.
  Event over{true, false};
  Thread thread;
};

// The opens running now, by path: the one place that says whether a device
// has an open in flight.
struct Registry {
  std::mutex mu;
  std::multimap<std::string, std::shared_ptr<Attempt>> running;
};

Registry& TheRegistry() {
  static Registry* registry = new Registry;  // never destroyed: threads may outlive main
  return *registry;
}

void Unregister(const std::shared_ptr<Attempt>& attempt) {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> lock(r.mu);
  auto [first, last] = r.running.equal_range(attempt->path);
  for (auto it = first; it != last; ++it) {
    if (it->second == attempt) {
      r.running.erase(it);
      return;
    }
  }
}

// Runs the attempt to its end; an abandoned one closes what it got.
void Finish(const std::shared_ptr<Attempt>& attempt) {
  const SystemResult result = attempt->open(attempt->path);
  bool closeIt;
  {
    std::lock_guard<std::mutex> lock(attempt->mu);
    attempt->result = result;
    attempt->finished = true;
    closeIt = attempt->abandoned;
  }
  if (closeIt && result.opened) attempt->close(result.handle);
  Unregister(attempt);
  attempt->over.Set();
}

uint32_t RunAttempt(void* arg) {
  // The thread's own reference: an abandoned attempt is freed by it.
  auto* holder = static_cast<std::shared_ptr<Attempt>*>(arg);
  const std::shared_ptr<Attempt> attempt = std::move(*holder);
  delete holder;
  Finish(attempt);
  return 0;
}

uint32_t MsLeft(Clock::time_point deadline) {
  const auto now = Clock::now();
  if (now >= deadline) return 0;
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
  return ms >= static_cast<int64_t>(kInfinite) ? kInfinite - 1 : static_cast<uint32_t>(ms);
}

bool IsSet(Event& event) {
  return event.Wait(0) == WaitResult::Signaled;
}

void WaitFor(Event& event, uint32_t timeoutMs, const CommOpenWait& wait) {
  if (wait.wait != nullptr) {
    wait.wait(wait.context, event, timeoutMs);
  } else {
    event.Wait(timeoutMs);
  }
}

}  // namespace

uint32_t OpenInTime(const std::string& path, uint32_t limitMs, const CommOpenWait& wait,
                    SystemOpen open, SystemClose close, intptr_t& handle) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(limitMs);
  auto attempt = std::make_shared<Attempt>();
  attempt->path = path;
  attempt->open = open;
  attempt->close = close;
  // An earlier open of the device that still runs is waited out first.
  for (;;) {
    std::shared_ptr<Attempt> earlier;
    {
      Registry& r = TheRegistry();
      std::lock_guard<std::mutex> lock(r.mu);
      auto it = r.running.find(path);
      if (it == r.running.end()) {
        r.running.emplace(path, attempt);
        break;
      }
      earlier = it->second;
    }
    const uint32_t left = MsLeft(deadline);
    if (left == 0) return errSemTimeout;
    WaitFor(earlier->over, left, wait);
    if (!IsSet(earlier->over) && MsLeft(deadline) == 0) return errSemTimeout;
  }

  auto* holder = new std::shared_ptr<Attempt>(attempt);
  if (!attempt->thread.Start(&RunAttempt, holder)) {
    // No thread to spare: the open is made here, without its limit.
    delete holder;
    Finish(attempt);
  } else {
    // The waiter may return early (a quit request, say); the limit is what
    // counts.
    for (uint32_t left = MsLeft(deadline); left > 0 && !IsSet(attempt->over);
         left = MsLeft(deadline)) {
      WaitFor(attempt->over, left, wait);
    }
  }
  SystemResult result;
  {
    std::lock_guard<std::mutex> lock(attempt->mu);
    if (!attempt->finished) {
      attempt->abandoned = true;
      attempt->thread.Detach();
      return errSemTimeout;
    }
    result = attempt->result;
  }
  if (!result.opened) return result.error != 0 ? result.error : errGenFailure;
  handle = result.handle;
  return 0;
}

size_t OpensInFlight() {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> lock(r.mu);
  return r.running.size();
}

}  // namespace sio::platform::comm_open
