#pragma once

#include <cstddef>
#include <cstdint>

// The generator's stand-in for broadcast scrambling: a fixed keystream XORed over the payload of a
// packet, marked with transport_scrambling_control 3. It protects nothing; it lets the decoder hook
// be tested end to end. This header and its source depend on nothing else in the project, so a
// sample decoder plugin can compile them on their own.

namespace pelkan::streamgen {

// Scrambles one packet in place. `packet` points at a unit of `packet_size` bytes: 188; 204 with
// the 16-byte trailer last; 192 either cut at the sync byte (as a receiver aligned on sync bytes
// passes it on) or with the 4-byte time-stamp prefix first. Sets transport_scrambling_control
// to 3 and XORs every payload byte (after the adaptation field, which stays clear) with the
// keystream byte of the same position in the packet. Units that are not a 188/192/204-byte packet
// with a sync byte, or that carry no payload, are left alone.
void ApplyTestScrambling(uint8_t* packet, size_t packet_size);

// Undoes ApplyTestScrambling in place: XORs the payload again and clears
// transport_scrambling_control. Returns true when the packet was scrambled this way (control 3) and
// is now clear; false (packet untouched) for anything else.
bool RemoveTestScrambling(uint8_t* packet, size_t packet_size);

}  // namespace pelkan::streamgen
