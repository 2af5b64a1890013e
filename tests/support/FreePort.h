// Test support: a UDP port on loopback that nothing uses at the moment of
// asking, so that servers started by tests never collide with each other or
// with a server running on the machine.
#pragma once

#include <cstdint>

uint16_t FreeUDPPort();
