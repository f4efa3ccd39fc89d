// The steps of a connect that never waits, for stream.cpp; each platform's
// socket file has them.
#ifndef QV_PLATFORM_SOCKET_CONNECT_H
#define QV_PLATFORM_SOCKET_CONNECT_H

#include "platform/resolve.h"
#include "platform/socket.h"

namespace platform {

// Readies the socket layer for use (Winsock must be started); false when
// it cannot be used.
bool SocketLayerReady();

enum class ConnectOutcome { Connected, InProgress, Refused, Failed };

// Opens a non-blocking socket of the address's family into `sock` and
// starts connecting it; on Failed, `error` holds the system's code.
ConnectOutcome ConnectStart(SocketHandle& sock, const Address& addr, int& error);

// How a connect that was InProgress stands now, without waiting.
ConnectOutcome ConnectCheck(SocketHandle sock, int& error);

}  // namespace platform

#endif
