// The two user message queues and WaitMessage.
//
// Each queue is a ring with one putting thread (the library thread) and one taking thread (the
// application's). The putter writes slot qe and then publishes qe with release; the taker
// acquires qe, reads slot qb and publishes qb with release, which the putter acquires before it
// reuses that slot. The auto-reset event is set after qe is published.
//
// The watermark needs more: the putter publishes qe and then counts (pausing its channel at the
// watermark), while the taker publishes qb and then counts (asking the paused channels to go
// on when it leaves one below the watermark). Each must see the other's store, or both can count
// the old value, the putter pausing at a full queue that the taker has already left just below
// the watermark without asking, and the channel stays paused. So the indexes are stored and
// counted in one total order (sequentially consistent), which orders each store before the
// count that follows it.

#include <cstdio>

#include "socket/internal.h"

namespace lumarix {
namespace socklib {
namespace {

std::int32_t Next(std::int32_t index) { return index == kQueueSize - 1 ? 0 : index + 1; }

std::int32_t Held(const TUserMessageQueue& queue) {
  std::int32_t count = queue.qe.load(std::memory_order_seq_cst) - queue.qb.load(std::memory_order_seq_cst);
  return count < 0 ? count + kQueueSize : count;
}

void Discard(TUserMessageQueue& queue) {
  while (TUserMessage* message = GetUserMessage(queue)) FreeUserMessage(message);
}

}  // namespace

TUserMessageQueue NoticeQueue;
TUserMessageQueue ReceivedQueue;

bool TUserMessageQueue::IsEmpty() const { return qb.load(std::memory_order_acquire) == qe.load(std::memory_order_acquire); }
bool TUserMessageQueue::IsFull() const { return Held(*this) == kQueueSize - 1; }
bool TUserMessageQueue::AboveWatermark() const { return Held(*this) >= kWatermark; }

void PutUserMessage(TUserMessageQueue& queue, TUserMessage* message) {
  SOCKET_LOG(5, "Putting into received queue - %s", UserMessageLogText(*message).c_str());
  if (queue.IsFull()) {
    SOCKET_LOG(2, "Message queue overflow");
    // Nobody will ever take the record: release it rather than lose it.
    FreeUserMessage(message);
    return;
  }
  const std::int32_t end = queue.qe.load(std::memory_order_relaxed);
  queue.items[static_cast<std::size_t>(end)] = message;
  queue.qe.store(Next(end), std::memory_order_seq_cst);
  SetEvent(queue.event);
}

TUserMessage* GetUserMessage(TUserMessageQueue& queue) {
  const std::int32_t begin = queue.qb.load(std::memory_order_relaxed);
  if (begin == queue.qe.load(std::memory_order_acquire)) return nullptr;
  TUserMessage* message = queue.items[static_cast<std::size_t>(begin)];
  queue.qb.store(Next(begin), std::memory_order_seq_cst);
  // The count after the take, not a crossing seen from before it: a put between a look before
  // and the take could carry the queue to the watermark and pause a channel unnoticed.
  if (Held(queue) == kWatermark - 1) PostToSocketWindow(kPacketsReceiveQuery);
  return message;
}

TUserMessage* TakeUserMessage() {
  if (TUserMessage* notice = GetUserMessage(NoticeQueue)) return notice;
  return GetUserMessage(ReceivedQueue);
}

std::string UserMessageLogText(const TUserMessage& message) {
  char head[96];
  std::snprintf(head, sizeof head, "user message type=%d ch=%d udata=%d ", message.type, message.ch, message.udata);
  if (message.type == umMessage) return head + MessageLogText(message.parts);
  return head + ("newchannel=" + std::to_string(message.newchannel));
}

void DiscardQueuedMessages() {
  Discard(NoticeQueue);
  Discard(ReceivedQueue);
}

}  // namespace socklib

TUserMessage* WaitMessage(std::int32_t milliseconds) {
  using namespace socklib;
  SOCKET_LOG(6, "WaitMessage (%d)", milliseconds);
  if (TUserMessage* message = TakeUserMessage()) {
    SOCKET_LOG(7, "Message available without wait");
    return message;
  }
  const HANDLE events[2] = {NoticeQueue.event, ReceivedQueue.event};
  if (WaitForMultipleObjects(2, events, FALSE, static_cast<DWORD>(milliseconds)) == WAIT_FAILED) {
    SOCKET_LOG(1, "WaitMessage (%d): fatality", milliseconds);
    return nullptr;
  }
  TUserMessage* message = TakeUserMessage();
  if (message) SOCKET_LOG(7, "Message available after wait");
  SOCKET_LOG(6, "WaitMessage (%d) - exiting", milliseconds);
  return message;
}

void FreeUserMessage(TUserMessage*& message) {
  if (!message) return;
  if (message->type == umMessage) FreeMsg(message->parts);
  delete message;
  message = nullptr;
}

}  // namespace lumarix
