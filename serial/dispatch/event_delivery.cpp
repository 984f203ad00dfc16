// Trigger handlers (windows, procedures, event methods) and the delivery of
// one trigger event to all of them.
#include <algorithm>

#include "serial/dispatch/dispatcher.h"

#include "serial/dispatch/dispatch_thread.h"
#include "serial/dispatch/io_queue.h"
#include "serial/dispatch/trace_log.h"
#include "serial/support/error_codes.h"
#include "serial/support/exceptions.h"

namespace sio {

// ---------------------------------------------------------------------------
// Handlers

void TSioBaseDispatcher::RegisterWndTriggerHandler(platform::WindowHandle window) {
  platform::CriticalSectionLock guard(DataSection);
  auto h = std::make_unique<TWndTriggerHandler>();
  h->Window = window;
  WndHandlers.push_back(std::move(h));
  HandlersPresent = true;
  LogDispatchEvent(ltTrgHdAlc, lsWindow, static_cast<uint32_t>(reinterpret_cast<uintptr_t>(window)),
                   nullptr, 0);
}

void TSioBaseDispatcher::RegisterProcTriggerHandler(TTriggerProc proc) {
  platform::CriticalSectionLock guard(DataSection);
  auto h = std::make_unique<TProcTriggerHandler>();
  h->Proc = proc;
  ProcHandlers.push_back(std::move(h));
  HandlersPresent = true;
  LogDispatchEvent(ltTrgHdAlc, lsProcedure, 0, nullptr, 0);
}

void TSioBaseDispatcher::RegisterEventTriggerHandler(const TTriggerEvent& method,
                                                     bool synchronized) {
  platform::CriticalSectionLock guard(DataSection);
  auto h = std::make_unique<TEventTriggerHandler>();
  h->Method = method;
  h->Synchronized = synchronized;
  EventHandlers.push_back(std::move(h));
  HandlersPresent = true;
  LogDispatchEvent(ltTrgHdAlc, lsMethod, 0, nullptr, 0);
}

namespace {

// Removes the first live record that matches: at once, or, while an event is
// being delivered, by marking it for removal when the delivery ends.
template <typename List, typename Match>
bool RemoveHandler(List& list, bool dispatching, bool& dirty, Match match) {
  for (auto it = list.begin(); it != list.end(); ++it) {
    if ((*it)->Deleted || !match(**it)) continue;
    if (dispatching) {
      (*it)->Deleted = true;
      dirty = true;
    } else {
      list.erase(it);
    }
    return true;
  }
  return false;
}

}  // namespace

void TSioBaseDispatcher::DeregisterWndTriggerHandler(platform::WindowHandle window) {
  platform::CriticalSectionLock guard(DataSection);
  const bool found =
      RemoveHandler(WndHandlers, DispActive.load(), HandlersDirty, [&](TWndTriggerHandler& h) {
        if (h.Window != window) return false;
        LogDispatchEvent(ltTrgHdDsp, lsWindow,
                         static_cast<uint32_t>(reinterpret_cast<uintptr_t>(window)), nullptr, 0);
        return true;
      });
  if (!found) UpdateHandlerFlags(fuRecompute);
}

void TSioBaseDispatcher::DeregisterProcTriggerHandler(TTriggerProc proc) {
  platform::CriticalSectionLock guard(DataSection);
  const bool found =
      RemoveHandler(ProcHandlers, DispActive.load(), HandlersDirty, [&](TProcTriggerHandler& h) {
        if (h.Proc != proc) return false;
        LogDispatchEvent(ltTrgHdDsp, lsProcedure, 0, nullptr, 0);
        return true;
      });
  if (!found) UpdateHandlerFlags(fuRecompute);
}

void TSioBaseDispatcher::DeregisterEventTriggerHandler(const TTriggerEvent& method) {
  platform::CriticalSectionLock guard(DataSection);
  const bool found =
      RemoveHandler(EventHandlers, DispActive.load(), HandlersDirty, [&](TEventTriggerHandler& h) {
        if (!(h.Method == method)) return false;
        LogDispatchEvent(ltTrgHdDsp, lsMethod, 0, nullptr, 0);
        return true;
      });
  if (!found) UpdateHandlerFlags(fuRecompute);
}

void TSioBaseDispatcher::UpdateHandlerFlags(int32_t flagUpdate) {
  platform::CriticalSectionLock guard(DataSection);
  auto live = [](const auto& list) {
    size_t n = 0;
    for (const auto& h : list)
      n += h->Deleted ? 0 : 1;
    return n;
  };
  const bool present = live(WndHandlers) > 1 || live(ProcHandlers) > 0 || live(EventHandlers) > 0;
  switch (flagUpdate) {
    case fuRecompute:
      HandlersPresent = present || ComponentWantsEvents;
      break;
    case fuWantEvents:
      ComponentWantsEvents = true;
      HandlersPresent = true;
      break;
    case fuDontWantEvents:
      ComponentWantsEvents = false;
      HandlersPresent = present;
      break;
    default:
      break;
  }
}

// ---------------------------------------------------------------------------
// Delivery

void TSioBaseDispatcher::FinishDispatch(bool consumeDone) {
  {
    platform::CriticalSectionLock guard(DataSection);
    DispActive.store(false);
    deliveringThread_.store(0);
    if (HandlersDirty) {
      auto purge = [](auto& list) {
        for (size_t i = list.size(); i-- > 0;) {
          if (list[i]->Deleted) list.erase(list.begin() + static_cast<std::ptrdiff_t>(i));
        }
      };
      purge(WndHandlers);
      purge(ProcHandlers);
      purge(EventHandlers);
      HandlersDirty = false;
      UpdateHandlerFlags(fuRecompute);
    }
  }
  platform::CriticalSectionLock guard(DispSection);
  // A delivery cut short consumes nothing, and leaves no consume state
  // behind for the next reader.
  if (!consumeDone) ConsumeMode = false;
  Consumed = 0;
}

bool TSioBaseDispatcher::DispatchEvent(uint32_t msg, uint32_t trigger, uint32_t data) {
  size_t eventCount;
  size_t procCount;
  size_t wndCount;
  bool sendToWindows;
  {
    platform::CriticalSectionLock guard(DataSection);
    if (!HandlersPresent) return true;
    DispActive.store(true);
    deliveringThread_.store(platform::CurrentThreadId());
    eventCount = EventHandlers.size();
    procCount = ProcHandlers.size();
    wndCount = WndHandlers.size();
    sendToWindows = wndCount > 1 || ComponentWantsEvents;
  }
  const bool consume = msg == kMsgTriggerAvail || msg == kMsgTriggerData;
  {
    platform::CriticalSectionLock guard(DispSection);
    MaxConsumed = 0;
    Consumed = 0;
    ConsumeMode = consume;
  }
  const uint32_t lParam = static_cast<uint32_t>(HandleIndex) * 65536u + data;

  bool result = true;
  bool interrupted = false;
  // Called after every handler: stops on a close, else notes how far this
  // handler read.
  auto afterHandler = [&]() {
    if (ClosePending.load()) {
      result = false;
      interrupted = true;
      return false;
    }
    platform::CriticalSectionLock guard(DispSection);
    MaxConsumed = std::max(MaxConsumed, Consumed);
    return true;
  };
  auto beforeHandler = [&]() {
    platform::CriticalSectionLock guard(DispSection);
    Consumed = 0;
  };

  // One pass over the first `count` records of a handler list. The lists
  // only grow during a delivery (removals are deferred), and each record
  // lives until the delivery ends, so a copy taken under the lock
  // (recordAt) is what the handler runs with, without the lock. False once
  // a close stopped it.
  auto deliver = [&](auto&& recordAt, size_t count, auto&& call) {
    for (size_t i = 0; i < count; ++i) {
      const auto record = recordAt(i);
      beforeHandler();
      if (!record.Deleted) call(record);
      if (!afterHandler()) return false;
    }
    return true;
  };

  try {
    const bool goOn = deliver(
                          [this](size_t i) {
                            platform::CriticalSectionLock guard(DataSection);
                            return *EventHandlers[i];
                          },
                          eventCount,
                          [&](const TEventTriggerHandler& h) {
                            if (!h.Method.Assigned()) return;
                            if (!h.Synchronized) {
                              h.Method(msg, trigger, lParam);
                              return;
                            }
                            // On the dispatcher thread its own thread object cannot go away.
                            TSioDispatcherThread* t =
                                OnDispatcherThread() ? DispThread.load() : nullptr;
                            if (t != nullptr) {
                              t->SyncEvent(msg, trigger, lParam, h.Method);
                              return;
                            }
                            struct Call {
                              const TTriggerEvent* m;
                              uint32_t a, b, c;
                            } call{&h.Method, msg, trigger, lParam};
                            HandOverToUserInterface(
                                [](void* ctx) {
                                  auto* c = static_cast<Call*>(ctx);
                                  (*c->m)(c->a, c->b, c->c);
                                },
                                &call);
                          }) &&
                      deliver(
                          [this](size_t i) {
                            platform::CriticalSectionLock guard(DataSection);
                            return *ProcHandlers[i];
                          },
                          procCount,
                          [&](const TProcTriggerHandler& h) {
                            if (h.Proc != nullptr) h.Proc(msg, trigger, lParam);
                          });
    if (goOn && sendToWindows) {
      deliver(
          [this](size_t i) {
            platform::CriticalSectionLock guard(DataSection);
            return *WndHandlers[i];
          },
          wndCount,
          [&](const TWndTriggerHandler& h) {
            platform::LResult reply = 0;
            const HandOver handingOver(handedOver_);
            platform::SendWindowMessageTimeout(h.Window, msg, trigger,
                                               static_cast<platform::LParam>(lParam),
                                               WindowHandlerTimeoutMs, &reply);
          });
    }
  } catch (...) {
    FinishDispatch(false);
    throw;
  }

  bool consumeDone = false;
  if (!interrupted && consume) {
    platform::CriticalSectionLock guard(DispSection);
    ConsumeMode = false;
    consumeDone = true;
    if (DBuffer != nullptr) {
      DBufTail = (DBufTail + MaxConsumed) % DispatchBufferSize;
      if (MaxConsumed > 0) {
        DBufFull = false;
        roomEvent_.Set();
      }
    }
    if (msg == kMsgTriggerAvail && MaxConsumed != trigger) result = false;
  }
  FinishDispatch(consumeDone || !consume);
  return result;
}

}  // namespace sio
