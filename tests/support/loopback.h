// Ports on 127.0.0.1 for the servers the test fixtures start.
#ifndef ORCHEL_TESTS_LOOPBACK_H
#define ORCHEL_TESTS_LOOPBACK_H

namespace testsupport {

// A port nobody listens on right now. Another process may still take it before the server
// started next binds it: callers that start a server retry. Throws when none can be had.
int FreeLoopbackPort();

// True when something accepts connections on the port.
bool LoopbackAccepts(int port);

}  // namespace testsupport

#endif  // ORCHEL_TESTS_LOOPBACK_H
