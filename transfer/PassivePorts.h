#pragma once

class CAsyncSocket;

// Binds and listens a passive data socket to the first free port of the forwarded range, starting each search
// where the last one ended so that ports lingering in TIME_WAIT get time to clear; falls back to any
// port when the whole range is taken. Any thread. False when no socket could be made at all.
bool CreatePassiveSocket(CAsyncSocket& socket);
// Listens again on a passive listening descriptor from an earlier transfer of the same client, so
// that each transfer costs no new socket. Connections already pending were made before this
// PASV announced the port again: they belong to no transfer and are dropped.
bool ReusePassiveSocket(CAsyncSocket& socket, int listeningFd);
