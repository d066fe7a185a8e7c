// The service's status announcement to the suite's control centre.
#pragma once

#include <cstdint>

#include "ipc/GenericPacket.h"

// Fills `packet` with the status packet: header ServiceType / SubTypeServiceStatus /
// the status channel, then CreationTime (low 32 bits of `nowSeconds`, signed),
// Priority = high, Service = start.
void BuildServiceStatusPacket(SentrelServicePacket& packet, std::int64_t nowSeconds);

// Builds the packet for the current time and writes it once to the control centre's
// high-priority queue. False when the write failed (the packet code logs why).
bool AnnounceServiceStart();
