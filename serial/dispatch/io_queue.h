// The queue through which the threads of an open port hand items to each
// other: received data and line events from the device threads to the
// dispatcher thread, and the dispatch log's entries.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>

#include "platform/sync.h"
#include "platform/thread_annotations.h"
#include "serial/support/lock_order.h"

namespace sio {

class TIOBuffer {
 public:
  TIOBuffer() = default;
  virtual ~TIOBuffer() = default;
  TIOBuffer(const TIOBuffer&) = delete;
  TIOBuffer& operator=(const TIOBuffer&) = delete;
  // A consumer took it with PeekFirst and has not released it. Atomic: the
  // consumer releases it without the queue's lock.
  std::atomic<bool> InUse{false};
  int32_t DataSize = 0;  // what the item adds to its queue's QueuedBytes
};

class TDataBuffer : public TIOBuffer {
 public:
  // Size bytes, zero-filled. Throws ESioException "Insufficient memory to
  // allocate I/O buffer." when the storage cannot be had (a negative size
  // included).
  explicit TDataBuffer(int32_t size);
  ~TDataBuffer() override;
  uint8_t* Bytes = nullptr;
  int32_t Filled = 0;   // received bytes stored
  int32_t ReadPos = 0;  // of those, already handed to the dispatcher
};

class TStatusBuffer : public TIOBuffer {
 public:
  uint32_t EventMask = 0;  // communication-event bits reported by the device
};

class TLogBuffer : public TIOBuffer {
 public:
  // DataSize := bufferLen; a null buffer or a length below 1 carries no bytes.
  TLogBuffer(int32_t type, int32_t subType, uint32_t time, uint32_t data, const void* buffer,
             int32_t bufferLen);
  ~TLogBuffer() override;
  int32_t Type;
  int32_t SubType;
  uint32_t Time;
  uint32_t Data;
  uint8_t* Buffer = nullptr;  // private copy of DataSize bytes, or nullptr
};

// First-in-first-out list with its own lock, a wake-up event and an exact
// count of the bytes its items carry. Any thread may call any operation.
class TIOQueue {
 public:
  TIOQueue();
  ~TIOQueue();  // Clear, then free what is left (no consumer may still hold it)
  TIOQueue(const TIOQueue&) = delete;
  TIOQueue& operator=(const TIOQueue&) = delete;

  // Takes ownership of item.
  void Append(TIOBuffer* item);
  // Copies as many of the n bytes as fit into the room left in the last item
  // when that is a data buffer no consumer holds (capacity minus Filled) and
  // wakes a consumer; the bytes copied (0 when there is no such room).
  // QueuedBytes does not change: the item's storage was already counted.
  [[nodiscard]] int32_t AppendToLastData(const uint8_t* bytes, int32_t n);
  // The first item, marked InUse, unless it is already in use (then nullptr).
  TIOBuffer* PeekFirst();
  // Gives back an item taken with PeekFirst without removing it (clears its
  // InUse mark under the lock, so that Clear on another thread sees it).
  void Release(TIOBuffer* item);
  // Takes the first item off the queue whatever its mark; the caller frees it.
  TIOBuffer* RemoveFirst();
  // Signaled at once when the queue holds items, else waits on Signal. Takes
  // no lock, so a producer can append meanwhile.
  platform::WaitResult WaitForData(uint32_t timeoutMs) SIO_EXCLUDES(Lock);
  // Frees every item that is not in use.
  void Clear();
  // Ends a consumer's WaitForData at once without adding an item.
  void Wake();

  [[nodiscard]] int32_t QueuedBytes() const;
  [[nodiscard]] int32_t Count() const;

  // What a device layer's reader does with the received data at the front:
  // copies up to size unread bytes out of the leading data buffers (freeing
  // each one it empties) and stops at the first item that is not data, which
  // stays queued, unmarked, for the status pass. Returns the bytes copied.
  [[nodiscard]] int32_t ReadData(uint8_t* buf, int32_t size);
  // Unread bytes in the first item when it is a data buffer, else 0.
  uint32_t FirstDataUnread();

 private:
  // Nothing else is taken under it.
  mutable platform::CriticalSection Lock{lock_order::Leaf("I/O queue lock")};
  platform::Event Signal;
  std::deque<TIOBuffer*> items_ SIO_GUARDED_BY(Lock);
  int32_t queuedBytes_ SIO_GUARDED_BY(Lock) = 0;
  // The item count for WaitForData's lock-free emptiness check; written
  // under Lock.
  std::atomic<int32_t> count_{0};
};

}  // namespace sio
