#pragma once

class CAsyncSocket;

// Binds and listens a passive data socket to the first free port of the forwarded range, starting each search
// where the last one ended so that ports lingering in TIME_WAIT get time to clear; falls back to any
// port when the whole range is taken. Any thread. False when no socket could be made at all.
bool CreatePassiveSocket(CAsyncSocket& socket);
