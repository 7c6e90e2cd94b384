#pragma once

// One chunk, in both directions, through a fixed buffer of this size.
constexpr int kChunkSize = 4096;
// Chunks one receive notification takes at most, so the client's commands (ABOR) stay prompt.
constexpr int kChunksPerReceive = 16;
// Passive data ports come from this range, the one users forward on their routers.
constexpr int kPassivePortFirst = 50000;
constexpr int kPassivePortLast = 58000;
