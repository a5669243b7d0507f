// The send path of the library thread.
//
// So far only the end of an orderly close is here: a closing channel whose send queue is empty
// is declared dead. Queued packets are not written yet; that is the send path's next step.

#include "LumarixUtil.h"
#include "socket/internal.h"

namespace lumarix::socklib {

std::string MessageLogText(const TMessagePart* parts) {
  std::string text;
  for (const TMessagePart* part = parts; part; part = part->next) {
    text += LogText(part->name) + "=" + LogText(part->value) + "; ";
  }
  return text;
}

void TrySend(std::int32_t ch) {
  SOCKET_LOG(6, "Activated: TrySend (channel=%d)", ch);
  if (!alive[ch]) {
    SOCKET_LOG(4, "TrySend (%d): socket is not alive", ch);
    return;
  }
  TSocketDesc* desc = sockdata[ch];
  if (desc->flags & sfListening) {
    SOCKET_LOG(2, "WARNING: TrySend for listening socket (%d) [previous instance?]", ch);
    return;
  }
  if (desc->sb == desc->se && mustdie[ch]) DoFatalClose(ch);
}

}  // namespace lumarix::socklib
