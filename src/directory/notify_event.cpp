#include "directory/notify_event.h"

#include "client/allocator.h"
#include "client/var_value.h"

namespace tarvik {

NotifyEvent* NotifyEventCreate() {
    return static_cast<NotifyEvent*>(MemAllocZero(sizeof(NotifyEvent)));
}

void NotifyEventFree(NotifyEvent* event) {
    if (event == nullptr) {
        return;
    }
    MemFree(event->keys);
    VarArrayDestroy(event->values, event->valuesCapacity);
    MemFree(event);
}

void CNotifyQueue::Push(NotifyEvent* event) {
    event->next = nullptr;
    if (tail_ != nullptr) {
        tail_->next = event;
    } else {
        head_ = event;
    }
    tail_ = event;
    ++count_;
}

NotifyEvent* CNotifyQueue::Pop() {
    NotifyEvent* event = head_;
    if (event != nullptr) {
        head_ = event->next;
        if (head_ == nullptr) {
            tail_ = nullptr;
        }
        event->next = nullptr;
        --count_;
    }
    return event;
}

void CNotifyQueue::FreeAll() {
    while (NotifyEvent* event = Pop()) {
        NotifyEventFree(event);
    }
}

}  // namespace tarvik
