// The floor of a stop-and-wait exchange over a pseudo-terminal: a process that echoes whatever
// comes on the master side, and frames written and read back one at a time on the slave side.
#pragma once

namespace irig::test {

// The time of `roundTrips` frames of `frameSize` bytes there and back, in milliseconds.
double EchoFloorMilliseconds(int roundTrips, int frameSize);

}  // namespace irig::test
