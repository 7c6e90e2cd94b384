#pragma once

// File bytes move with the kernel (sendfile for downloads, splice through a pipe for uploads) and
// never through the server's memory; where the kernel refuses, one chunk at a time through a fixed
// buffer of this size.
constexpr int kChunkSize = 4096;
// Bytes one readiness event moves at most, so that the client's commands (ABOR) stay prompt: a
// quarter of a millisecond on loopback. Measured against 256 KiB and 4 MiB: a third more than
// the smaller step for downloads, as much as the larger one.
constexpr qint64 kStepBytes = 1024 * 1024;
// What an upload's pipe holds: the largest single splice (the most an unprivileged pipe may hold;
// where the system allows less, the pipe keeps its default size).
constexpr int kPipeBytes = 1024 * 1024;
// Connections a passive port queues before the client's is taken.
constexpr int kDataBacklog = 5;
// Passive data ports come from this range, the one users forward on their routers.
constexpr int kPassivePortFirst = 50000;
constexpr int kPassivePortLast = 58000;
