// The accept path of the library thread. Not built yet: accepting on listening channels and
// the umAccepted records come with the accept path's own step.

#include "socket/internal.h"

namespace lumarix::socklib {

void TryAccept(std::int32_t) {}

}  // namespace lumarix::socklib
