// NotifyEvent: one record of the notification queue.
//
// A state change carries the new state in count; a data change carries
// count keys and a values block of its own capacity (which may exceed count;
// every element of the capacity is emptied when the event is freed).
#pragma once

#include <cstdint>

#include "tarvik/tarvik.h"

namespace tarvik {

enum : uint8_t { NOTIFY_STATE = 1, NOTIFY_DATA = 2 };

struct NotifyEvent {
    uint8_t type;
    int32_t count;
    uint32_t* keys;          // library allocator; null for a state change
    VarValue* values;        // library allocator; null for a state change
    int32_t valuesCapacity;  // elements of values
    NotifyEvent* next;       // queue link
};

// A zeroed record from the library allocator; null when memory is short.
NotifyEvent* NotifyEventCreate();
// Frees keys, every value of the capacity, and the record. Null: nothing.
void NotifyEventFree(NotifyEvent* event);

// First-in first-out list of events; the owner guards it with its state lock.
class CNotifyQueue {
  public:
    CNotifyQueue() = default;
    ~CNotifyQueue() { FreeAll(); }
    CNotifyQueue(const CNotifyQueue&) = delete;
    CNotifyQueue& operator=(const CNotifyQueue&) = delete;

    void Push(NotifyEvent* event);
    // The head, removed; null when empty.
    NotifyEvent* Pop();
    bool IsEmpty() const { return head_ == nullptr; }
    int32_t Count() const { return count_; }
    // Frees every event without delivering it.
    void FreeAll();

  private:
    NotifyEvent* head_ = nullptr;
    NotifyEvent* tail_ = nullptr;
    int32_t count_ = 0;
};

}  // namespace tarvik
