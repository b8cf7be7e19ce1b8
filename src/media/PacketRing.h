// The relay's ring of datagram buffers: BasicPacketRing on the system's
// atomics and semaphore, compiled once in PacketRing.cpp.
#pragma once

#include "BasicPacketRing.h"
#include "SystemSync.h"

namespace vexa {

extern template class BasicPacketRing<SystemSync>;
using PacketRing = BasicPacketRing<SystemSync>;

}  // namespace vexa
