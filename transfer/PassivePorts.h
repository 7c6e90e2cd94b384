#pragma once

#include "platform/UniqueFd.h"

class CAsyncSocket;

// Binds and listens a passive data socket to a free port of the forwarded range, the search
// starting at a random port of it; falls back to any port when the whole range is taken. Any
// thread. False when no socket could be made at all.
bool CreatePassiveSocket(CAsyncSocket& socket);
// Listens again on a passive listening descriptor from an earlier transfer of the same client, so
// that each transfer costs no new socket. Connections already pending were made before this
// PASV announced the port again: they belong to no transfer and are dropped.
bool ReusePassiveSocket(CAsyncSocket& socket, CUniqueFd listening);
