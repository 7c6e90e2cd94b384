#pragma once

// What the test process holds right now, to find threads or descriptors that outlive their use.
struct ProcessCounts
{
    int threads = 0;     // entries of /proc/self/task
    int descriptors = 0; // entries of /proc/self/fd
};

// Any thread.
ProcessCounts CountProcess();
