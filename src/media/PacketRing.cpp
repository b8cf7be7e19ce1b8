#include "PacketRing.h"

namespace vexa {

template class BasicPacketRing<SystemSync>;

}  // namespace vexa
