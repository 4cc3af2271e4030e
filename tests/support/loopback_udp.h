#pragma once

#include <cstdint>

namespace pelkan::testing {

// A UDP socket bound to 127.0.0.1 on a free port, with the given receive buffer size; returns the
// descriptor (-1 on failure) and stores the port.
int OpenLoopbackUdp(int receive_buffer, uint16_t* port);
// A TCP port of 127.0.0.1 that was free a moment ago (for a server the test starts); 0 when none.
uint16_t FreeLoopbackTcpPort();

}  // namespace pelkan::testing
