#include "serial/dispatch/io_queue.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "serial/support/exceptions.h"

namespace sio {

TDataBuffer::TDataBuffer(int32_t size) {
  static const char* const kNoMemory = "Insufficient memory to allocate I/O buffer.";
  if (size < 0) throw ESioException(kNoMemory);
  // Value-initialised: the bytes start out zero.
  Bytes = new (std::nothrow) uint8_t[static_cast<size_t>(size)]();
  if (Bytes == nullptr) throw ESioException(kNoMemory);
  DataSize = size;
}

TDataBuffer::~TDataBuffer() {
  delete[] Bytes;
}

TLogBuffer::TLogBuffer(int32_t type, int32_t subType, uint32_t time, uint32_t data,
                       const void* buffer, int32_t bufferLen)
    : Type(type), SubType(subType), Time(time), Data(data) {
  if (buffer != nullptr && bufferLen > 0) {
    // The caller's bytes may change or vanish once it returns: keep our own.
    Buffer = new uint8_t[static_cast<size_t>(bufferLen)];
    std::memcpy(Buffer, buffer, static_cast<size_t>(bufferLen));
    DataSize = bufferLen;
  }
}

TLogBuffer::~TLogBuffer() {
  delete[] Buffer;
}

TIOQueue::TIOQueue() : Signal(false, false) {}

TIOQueue::~TIOQueue() {
  Clear();
  // Whatever is still marked in use has no consumer left that could release
  // it once the queue is gone.
  for (TIOBuffer* item : items_)
    delete item;
  items_.clear();
}

void TIOQueue::Append(TIOBuffer* item) {
  if (item == nullptr) return;
  {
    platform::CriticalSectionLock guard(Lock);
    items_.push_back(item);
    queuedBytes_ += item->DataSize;
    count_.store(static_cast<int32_t>(items_.size()), std::memory_order_release);
  }
  Signal.Set();
}

int32_t TIOQueue::AppendToLastData(const uint8_t* bytes, int32_t n) {
  if (bytes == nullptr || n <= 0) return 0;
  int32_t m = 0;
  {
    platform::CriticalSectionLock guard(Lock);
    if (items_.empty() || items_.back()->InUse) return 0;
    auto* data = dynamic_cast<TDataBuffer*>(items_.back());
    if (data == nullptr) return 0;
    // Unmarked, so no consumer is reading Filled or the bytes: the next one
    // takes the mark under this lock and sees the bytes added here.
    m = std::min(n, data->DataSize - data->Filled);
    if (m <= 0) return 0;
    std::memcpy(data->Bytes + data->Filled, bytes, static_cast<size_t>(m));
    data->Filled += m;
  }
  Signal.Set();
  return m;
}

TIOBuffer* TIOQueue::PeekFirst() {
  platform::CriticalSectionLock guard(Lock);
  if (items_.empty() || items_.front()->InUse) return nullptr;
  items_.front()->InUse = true;
  return items_.front();
}

void TIOQueue::Release(TIOBuffer* item) {
  if (item == nullptr) return;
  platform::CriticalSectionLock guard(Lock);
  item->InUse = false;
}

TIOBuffer* TIOQueue::RemoveFirst() {
  platform::CriticalSectionLock guard(Lock);
  if (items_.empty()) return nullptr;
  TIOBuffer* item = items_.front();
  items_.pop_front();
  queuedBytes_ -= item->DataSize;
  count_.store(static_cast<int32_t>(items_.size()), std::memory_order_release);
  return item;
}

platform::WaitResult TIOQueue::WaitForData(uint32_t timeoutMs) {
  if (count_.load(std::memory_order_acquire) > 0) return platform::WaitResult::Signaled;
  return Signal.Wait(timeoutMs);
}

void TIOQueue::Clear() {
  platform::CriticalSectionLock guard(Lock);
  std::deque<TIOBuffer*> kept;
  for (TIOBuffer* item : items_) {
    if (item->InUse) {
      kept.push_back(item);
    } else {
      queuedBytes_ -= item->DataSize;
      delete item;
    }
  }
  items_.swap(kept);
  count_.store(static_cast<int32_t>(items_.size()), std::memory_order_release);
}

void TIOQueue::Wake() {
  Signal.Set();
}

int32_t TIOQueue::QueuedBytes() const {
  platform::CriticalSectionLock guard(Lock);
  return queuedBytes_;
}

int32_t TIOQueue::Count() const {
  platform::CriticalSectionLock guard(Lock);
  return static_cast<int32_t>(items_.size());
}

int32_t TIOQueue::ReadData(uint8_t* buf, int32_t size) {
  int32_t remaining = size;
  while (remaining > 0) {
    TIOBuffer* item = PeekFirst();
    if (item == nullptr) break;
    auto* data = dynamic_cast<TDataBuffer*>(item);
    if (data == nullptr) {
      Release(item);
      break;
    }
    // Only the holder of the InUse mark touches ReadPos.
    const int32_t m = std::min(remaining, data->Filled - data->ReadPos);
    std::memcpy(buf, data->Bytes + data->ReadPos, static_cast<size_t>(m));
    data->ReadPos += m;
    buf += m;
    remaining -= m;
    if (data->ReadPos >= data->Filled) {
      delete RemoveFirst();
    } else {
      Release(item);
    }
  }
  return size - remaining;
}

uint32_t TIOQueue::FirstDataUnread() {
  TIOBuffer* item = PeekFirst();
  if (item == nullptr) return 0;
  uint32_t n = 0;
  if (auto* data = dynamic_cast<TDataBuffer*>(item))
    n = static_cast<uint32_t>(data->Filled - data->ReadPos);
  Release(item);
  return n;
}

}  // namespace sio
