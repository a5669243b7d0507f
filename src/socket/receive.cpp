// The receive path of the library thread. Not built yet: reading, cutting packets and
// queueing umMessage records come with the receive path's own step.

#include "socket/internal.h"

namespace lumarix::socklib {

void TryReceive(std::int32_t) {}

}  // namespace lumarix::socklib
