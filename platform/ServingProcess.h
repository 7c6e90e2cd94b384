#pragma once

// Makes the process fit to serve many clients, once, before the first listener opens: a send to a
// client that has gone reports an error instead of killing the process with SIGPIPE (sendfile has
// no flag against it), a write past a file size limit fails instead of killing it with SIGXFSZ,
// and the soft limit of open descriptors is raised to the hard one, so that
// hundreds of clients with their data connections and upload pipes fit. The process becomes
// undumpable and writes no core file. Any thread; idempotent.
void PrepareServingProcess();

// How many more descriptors the process may open now: its soft limit less those open; -1 when
// there is no limit or it cannot be told.
long long SpareDescriptors();
// Whether the process can open one more descriptor now.
bool DescriptorFree();
