/* The benchmark's FTP client and the probes of the 4096-byte chunk rule. Plain C with blocking
 * sockets and large buffers, so that the server, not the client, sets the pace. Every command
 * prints one line "key=value ..." on standard output; run.sh reads it.
 *
 *   client retr  PORT USER PASS NAME [PID]          download NAME, discard it
 *   client stor  PORT USER PASS NAME BYTES [PID]    upload BYTES of generated data as NAME
 *   client small PORT USER PASS FOLDER COUNT        PASV + RETR of f00000.. in FOLDER over one session
 *   client many  PORT USER PASS CLIENTS NAME [PID [peak] [unread]]
 *                                                   CLIENTS at once: login, LIST, RETR NAME, QUIT
 *   client idle  PORT USER PASS CLIENTS SECONDS PID CLIENTS logged in and silent for SECONDS: the
 *                                                   server's CPU seconds meanwhile, per minute
 *   client login PORT USER PASS COUNT               COUNT fresh connections: connect .. 230
 *   client list  PORT USER PASS FOLDER COUNT        COUNT LISTs of FOLDER
 *   client gen   FILE BYTES                         writes BYTES of pseudo-random data
 *   client files FOLDER COUNT BYTES                 writes COUNT files f00000.. of BYTES each
 *   client probe-send FILE                          loopback TCP: pread 4096 + non-blocking send
 *   client probe-recv FILE BYTES                    loopback TCP: recv 4096 + write to FILE
 *   client probe-wire BYTES                         loopback TCP with this client's own buffers
 *   client port [FIRST]                             a loopback TCP port free now, from FIRST up
 *   client reap PIDFILE COMMAND...                  runs a server and every process it forks, see Reap
 *   client tls-retr|tls-stor|tls-login ...          retr, stor and login over explicit FTPS: AUTH TLS
 *                                                   before USER; retr and stor then send PBSZ 0 and
 *                                                   PROT P, and their data connection resumes the
 *                                                   control connection's TLS session, as curl does.
 *                                                   Certificates are not checked: every server
 *                                                   serves the same one.
 *
 * With the server's PID, retr and stor also report the CPU seconds that the server's processes
 * (it and all its descendants) spent between the PASV and the 226, and many those of the whole
 * run; with "peak", many also reports the largest sum of their resident sizes seen in samples
 * 100 ms apart: vsftpd and pure-ftpd serve each session in processes of its own. many always
 * reports its own CPU seconds: on a machine with few cores, the client's share of them bounds
 * what any server can reach. With "unread", many's sessions drop the data the kernel received
 * without copying it out (MSG_TRUNC), which takes the client's own copy out of that share.
 */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/ssl.h>

enum
{
    kBig = 1 << 20,
    kChunk = 4096,
    kTimeoutSeconds = 60
};

static double Now(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

static void Die(const char* what)
{
    perror(what);
    exit(1);
}

static int CompareDoubles(const void* a, const void* b)
{
    double x = *(const double*)a, y = *(const double*)b;
    return x < y ? -1 : x > y;
}

static double Median(double* values, int count)
{
    qsort(values, (size_t)count, sizeof *values, CompareDoubles);
    return count % 2 ? values[count / 2] : (values[count / 2 - 1] + values[count / 2]) / 2;
}

/* Fills a buffer with xorshift noise: incompressible, and far faster than /dev/urandom. */
static void Noise(char* data, size_t size, uint64_t* state)
{
    for (size_t i = 0; i + 8 <= size; i += 8) {
        *state ^= *state << 13;
        *state ^= *state >> 7;
        *state ^= *state << 17;
        memcpy(data + i, state, 8);
    }
}

/* What the processes of one family hold together: a process and all its descendants, read from
 * /proc. Seconds count user and system time, the process's own and that of the children it reaped. */
typedef struct
{
    double seconds;
    long long residentBytes;
    int processes;
} Family;

typedef struct
{
    pid_t pid, parent;
    unsigned long long ownTicks;
    double reapedSeconds;
    long long residentPages;
} ProcessEntry;

/* A process's own CPU time to the nanosecond from its CPU clock (all its threads, ended ones too);
 * the clock ticks of /proc/PID/stat, a hundredth of a second, only where the clock cannot be read. */
static double OwnSeconds(pid_t pid, unsigned long long ticks)
{
    clockid_t clock;
    struct timespec t;
    if (clock_getcpuclockid(pid, &clock) == 0 && clock_gettime(clock, &t) == 0)
        return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
    return (double)ticks / (double)sysconf(_SC_CLK_TCK);
}

/* Every process of the system; the count, or -1. */
static int ReadProcesses(ProcessEntry** entries)
{
    DIR* proc = opendir("/proc");
    if (!proc)
        return -1;
    int count = 0, room = 1024;
    *entries = malloc((size_t)room * sizeof **entries);
    struct dirent* entry;
    while ((entry = readdir(proc))) {
        if (entry->d_name[0] < '1' || entry->d_name[0] > '9')
            continue;
        char path[64], text[1024];
        int pid = atoi(entry->d_name);
        snprintf(path, sizeof path, "/proc/%d/stat", pid);
        int fd = open(path, O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            continue; /* gone since the listing */
        ssize_t n = read(fd, text, sizeof text - 1);
        close(fd);
        if (n <= 0)
            continue;
        text[n] = 0;
        /* "pid (name) state ppid ...": the name may hold spaces and parentheses, so fields count
         * from the last ')'; utime is field 14, rss field 24. */
        char* name = strrchr(text, ')');
        if (!name)
            continue;
        char state;
        int parent;
        unsigned long long skip, utime, stime;
        long long cutime, cstime, rss;
        if (sscanf(name + 2,
                   "%c %d %llu %llu %llu %llu %llu %llu %llu %llu %llu %llu %llu %lld %lld %llu %llu %llu %llu %llu "
                   "%llu %lld",
                   &state, &parent, &skip, &skip, &skip, &skip, &skip, &skip, &skip, &skip, &skip, &utime, &stime,
                   &cutime, &cstime, &skip, &skip, &skip, &skip, &skip, &skip, &rss) != 22)
            continue;
        if (count == room) {
            room *= 2;
            *entries = realloc(*entries, (size_t)room * sizeof **entries);
        }
        double reaped = (double)(cutime + cstime) / (double)sysconf(_SC_CLK_TCK);
        (*entries)[count++] = (ProcessEntry){pid, parent, utime + stime, reaped, rss};
    }
    closedir(proc);
    return count;
}

static int ComparePids(const void* a, const void* b)
{
    pid_t x = ((const ProcessEntry*)a)->pid, y = ((const ProcessEntry*)b)->pid;
    return x < y ? -1 : x > y;
}

/* The processes of ROOT's family, sorted by pid, each with a flag "member"; the count, or -1. */
static int ReadMembers(pid_t root, ProcessEntry** all, char** member)
{
    int count = root > 0 ? ReadProcesses(all) : -1;
    if (count < 0)
        return -1;
    qsort(*all, (size_t)count, sizeof **all, ComparePids);
    *member = calloc((size_t)count + 1, 1);
    /* Marks children of members until nothing changes: a family is a few levels deep. */
    for (int changed = 1; changed;) {
        changed = 0;
        for (int i = 0; i < count; ++i) {
            if ((*member)[i])
                continue;
            ProcessEntry key = {.pid = (*all)[i].parent};
            ProcessEntry* parent = bsearch(&key, *all, (size_t)count, sizeof **all, ComparePids);
            if ((*all)[i].pid == root || (parent && (*member)[parent - *all]))
                changed = (*member)[i] = 1;
        }
    }
    return count;
}

static Family ReadFamily(pid_t root)
{
    Family family = {0, 0, 0};
    ProcessEntry* all;
    char* member;
    int count = ReadMembers(root, &all, &member);
    for (int i = 0; i < count; ++i) {
        if (member[i]) {
            family.seconds += OwnSeconds(all[i].pid, all[i].ownTicks) + all[i].reapedSeconds;
            family.residentBytes += all[i].residentPages * sysconf(_SC_PAGESIZE);
            ++family.processes;
        }
    }
    if (count >= 0) {
        free(member);
        free(all);
    }
    return family;
}

/* Sends SIGNAL to every descendant of ROOT; how many there were. */
static int SignalDescendants(pid_t root, int signal)
{
    ProcessEntry* all;
    char* member;
    int count = ReadMembers(root, &all, &member), sent = 0;
    for (int i = 0; i < count; ++i) {
        if (member[i] && all[i].pid != root && kill(all[i].pid, signal) == 0)
            ++sent;
    }
    if (count >= 0) {
        free(member);
        free(all);
    }
    return sent;
}

static SSL_CTX* g_tls; /* set by the tls- commands: every session is explicit FTPS */

static int Connect(uint16_t port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    struct timeval timeout = {kTimeoutSeconds, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    struct sockaddr_in address = {.sin_family = AF_INET, .sin_port = htons(port)};
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, (struct sockaddr*)&address, sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

static int SendAll(int fd, const char* data, size_t size)
{
    while (size > 0) {
        ssize_t n = send(fd, data, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return -1;
        data += n;
        size -= (size_t)n;
    }
    return 0;
}

/* One control connection: reply lines are read through a small buffer. */
typedef struct
{
    int fd;
    SSL* ssl; /* the control connection's TLS, once AUTH TLS went through */
    uint16_t port;
    char buffer[8192];
    size_t used;
    char line[1024];
    int dataFlags; /* for the data connection's recv: 0, or MSG_TRUNC to drop the bytes unread */
} Control;

/* Reads one reply (the last line of a multi-line one); its code, or -1. */
static int ReadReply(Control* c)
{
    for (;;) {
        char* end = memchr(c->buffer, '\n', c->used);
        if (end) {
            size_t length = (size_t)(end - c->buffer) + 1;
            size_t keep = length < sizeof c->line ? length : sizeof c->line - 1;
            memcpy(c->line, c->buffer, keep);
            c->line[keep] = 0;
            memmove(c->buffer, end + 1, c->used - length);
            c->used -= length;
            if (length >= 4 && c->line[3] == ' ')
                return atoi(c->line);
            continue; /* a middle line of a multi-line reply */
        }
        if (c->used == sizeof c->buffer)
            return -1;
        int n = c->ssl ? SSL_read(c->ssl, c->buffer + c->used, (int)(sizeof c->buffer - c->used))
                       : (int)recv(c->fd, c->buffer + c->used, sizeof c->buffer - c->used, 0);
        if (n <= 0)
            return -1;
        c->used += (size_t)n;
    }
}

static int Command(Control* c, const char* format, ...)
{
    char text[512];
    va_list arguments;
    va_start(arguments, format);
    int length = vsnprintf(text, sizeof text - 2, format, arguments);
    va_end(arguments);
    memcpy(text + length, "\r\n", 2);
    if (c->ssl ? SSL_write(c->ssl, text, length + 2) != length + 2 : SendAll(c->fd, text, (size_t)length + 2) != 0)
        return -1;
    return ReadReply(c);
}

/* Where a login stopped: 0 when it went through. */
enum
{
    kNoConnection = 1,
    kNoGreeting,
    kNoLogin
};

/* A TLS client on the connected descriptor, resuming the session when one is given; NULL when the
 * handshake failed. */
static SSL* TlsConnect(int fd, SSL_SESSION* session)
{
    SSL* ssl = SSL_new(g_tls);
    if (ssl && SSL_set_fd(ssl, fd) == 1 && (!session || SSL_set_session(ssl, session) == 1) && SSL_connect(ssl) == 1)
        return ssl;
    ERR_print_errors_fp(stderr);
    SSL_free(ssl);
    return NULL;
}

/* Sends close_notify, as a client that reached the end does, then closes once the server has: what
 * it sent unread (a TLS 1.3 session ticket on an upload's connection) would turn the close into a
 * reset, which servers take for a cut transfer. */
static void TlsClose(SSL* ssl, int fd)
{
    if (ssl) {
        SSL_shutdown(ssl);
        SSL_free(ssl);
        shutdown(fd, SHUT_WR);
        char rest[4096];
        while (recv(fd, rest, sizeof rest, 0) > 0) {
        }
    }
    close(fd);
}

static int Login(Control* c, uint16_t port, const char* user, const char* pass)
{
    c->used = 0;
    c->port = port;
    c->dataFlags = 0;
    c->ssl = NULL;
    c->fd = Connect(port);
    if (c->fd < 0)
        return kNoConnection;
    if (ReadReply(c) != 220)
        return kNoGreeting;
    if (g_tls && (Command(c, "AUTH TLS") != 234 || !(c->ssl = TlsConnect(c->fd, NULL))))
        return kNoLogin;
    if (Command(c, "USER %s", user) != 331 || Command(c, "PASS %s", pass) != 230)
        return kNoLogin;
    return 0;
}

/* With TLS, every data connection from here on is encrypted too; the reply code of the last step. */
static int Protect(Control* c)
{
    return !g_tls ? 200 : Command(c, "PBSZ 0") != 200 ? -1 : Command(c, "PROT P");
}

static void Quit(Control* c)
{
    Command(c, "QUIT");
    TlsClose(c->ssl, c->fd);
}

/* The data connection of a transfer: with TLS, its handshake once the transfer began (its 150),
 * as the server starts TLS then. */
typedef struct
{
    int fd;
    SSL* ssl;
} Data;

static int StartData(Control* c, Data* d)
{
    d->ssl = NULL;
    if (!c->ssl)
        return 0;
    SSL_SESSION* session = SSL_get1_session(c->ssl);
    d->ssl = TlsConnect(d->fd, session);
    SSL_SESSION_free(session);
    return d->ssl ? 0 : -1;
}

/* PASV and the connect to the port it names; the data descriptor, or -1. */
static int Passive(Control* c)
{
    if (Command(c, "PASV") != 227)
        return -1;
    const char* open = strchr(c->line, '(');
    unsigned h1, h2, h3, h4, p1, p2;
    if (!open || sscanf(open + 1, "%u,%u,%u,%u,%u,%u", &h1, &h2, &h3, &h4, &p1, &p2) != 6)
        return -1;
    return Connect((uint16_t)(p1 * 256 + p2));
}

/* Reads the data connection to its end; the byte count, or -1. Over TLS the end is the server's
 * close_notify: a bare TCP close could be a cut. */
static long long Drain(Data d, char* buffer, size_t size, int flags)
{
    long long total = 0;
    for (;;) {
        ssize_t n = d.ssl ? SSL_read(d.ssl, buffer, (int)(size < INT32_MAX ? size : INT32_MAX))
                          : recv(d.fd, buffer, size, flags);
        if (n == 0)
            return !d.ssl || SSL_get_error(d.ssl, 0) == SSL_ERROR_ZERO_RETURN ? total : -1;
        if (n < 0 && !d.ssl && errno == EINTR)
            continue;
        if (n < 0)
            return -1;
        total += n;
    }
}

/* A transfer that reads: "LIST" or "RETR name". The bytes read, or -1. */
static long long Fetch(Control* c, char* buffer, size_t size, const char* format, const char* argument)
{
    Data data = {Passive(c), NULL};
    if (data.fd < 0)
        return -1;
    int code = Command(c, format, argument);
    long long got =
        (code == 150 || code == 125) && StartData(c, &data) == 0 ? Drain(data, buffer, size, c->dataFlags) : -1;
    TlsClose(data.ssl, data.fd);
    if (got < 0 || ReadReply(c) != 226)
        return -1;
    return got;
}

/* Ends a transfer's line: the server's CPU seconds between two readings, when it was given. */
static void PrintServerCpu(pid_t server, const Family* before)
{
    if (server > 0) {
        Family after = ReadFamily(server);
        printf(" server_cpu=%.3f", after.seconds - before->seconds);
    }
    printf("\n");
}

static int Retr(uint16_t port, const char* user, const char* pass, const char* name, pid_t server)
{
    Control c;
    char* buffer = malloc(kBig);
    if (Login(&c, port, user, pass) != 0 || Protect(&c) != 200 || Command(&c, "TYPE I") != 200)
        Die("retr: login");
    Family before = ReadFamily(server);
    double start = Now();
    long long got = Fetch(&c, buffer, kBig, "RETR %s", name);
    double seconds = Now() - start;
    if (got < 0)
        Die("retr");
    printf("bytes=%lld seconds=%.6f mbps=%.1f", got, seconds, got / seconds / 1e6);
    PrintServerCpu(server, &before);
    Quit(&c);
    free(buffer);
    return 0;
}

static int Stor(uint16_t port, const char* user, const char* pass, const char* name, long long bytes, pid_t server)
{
    Control c;
    char* buffer = malloc(kBig);
    uint64_t state = 88172645463325252ull;
    Noise(buffer, kBig, &state);
    if (Login(&c, port, user, pass) != 0 || Protect(&c) != 200 || Command(&c, "TYPE I") != 200)
        Die("stor: login");
    Family before = ReadFamily(server);
    double start = Now();
    Data data = {Passive(&c), NULL};
    int code = data.fd < 0 ? -1 : Command(&c, "STOR %s", name);
    if ((code != 150 && code != 125) || StartData(&c, &data) != 0)
        Die("stor: start");
    for (long long left = bytes; left > 0;) {
        size_t piece = left < kBig ? (size_t)left : kBig;
        if (data.ssl ? SSL_write(data.ssl, buffer, (int)piece) != (int)piece : SendAll(data.fd, buffer, piece) != 0)
            Die("stor: send");
        left -= (long long)piece;
    }
    TlsClose(data.ssl, data.fd);
    if (ReadReply(&c) != 226) {
        fprintf(stderr, "stor: completion: %s", c.line);
        exit(1);
    }
    double seconds = Now() - start;
    printf("bytes=%lld seconds=%.6f mbps=%.1f", bytes, seconds, bytes / seconds / 1e6);
    PrintServerCpu(server, &before);
    Quit(&c);
    free(buffer);
    return 0;
}

static int Small(uint16_t port, const char* user, const char* pass, const char* folder, int count)
{
    Control c;
    char* buffer = malloc(kBig);
    if (Login(&c, port, user, pass) != 0 || Command(&c, "TYPE I") != 200 || Command(&c, "CWD %s", folder) != 250)
        Die("small: login");
    double start = Now();
    for (int i = 0; i < count; ++i) {
        char name[32];
        snprintf(name, sizeof name, "f%05d", i);
        if (Fetch(&c, buffer, kBig, "RETR %s", name) != kChunk) {
            fprintf(stderr, "small: %s: %s", name, c.line);
            exit(1);
        }
    }
    double seconds = Now() - start;
    Quit(&c);
    printf("files=%d seconds=%.6f filesps=%.1f\n", count, seconds, count / seconds);
    free(buffer);
    return 0;
}

typedef struct
{
    uint16_t port;
    const char *user, *pass, *name;
    pthread_mutex_t* lock;
    pthread_cond_t *go, *done;
    int *started, *finished;
    int dataFlags;
    int outcome; /* 0 when all of it went through, a Login step, or kFailedLater */
} ManyClient;

enum
{
    kFailedLater = kNoLogin + 1
};

/* One client's session: login, LIST, RETR, QUIT; the outcome says where it stopped. */
static void ManySession(ManyClient* m)
{
    pthread_mutex_lock(m->lock);
    while (!*m->started)
        pthread_cond_wait(m->go, m->lock);
    pthread_mutex_unlock(m->lock);
    Control c;
    const size_t size = 64 * 1024;
    char* buffer = malloc(size);
    m->outcome = Login(&c, m->port, m->user, m->pass);
    if (m->outcome != 0) {
        if (c.fd >= 0)
            close(c.fd);
        free(buffer);
        return;
    }
    m->outcome = kFailedLater;
    c.dataFlags = m->dataFlags;
    if (Command(&c, "TYPE I") == 200 && Fetch(&c, buffer, size, "LIST", "") >= 0 &&
        Fetch(&c, buffer, size, "RETR %s", m->name) == kBig && Command(&c, "QUIT") == 221)
        m->outcome = 0;
    close(c.fd);
    free(buffer);
}

static void* RunManyClient(void* argument)
{
    ManyClient* m = argument;
    ManySession(m);
    pthread_mutex_lock(m->lock);
    ++*m->finished;
    pthread_cond_signal(m->done);
    pthread_mutex_unlock(m->lock);
    return NULL;
}

/* The CPU seconds this process has used so far, all its threads. */
static double OwnCpuSeconds(void)
{
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return (double)(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           (double)(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

static int Many(uint16_t port, const char* user, const char* pass, int clients, const char* name, pid_t server,
                int samplePeak, int dataFlags)
{
    pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t go = PTHREAD_COND_INITIALIZER, done = PTHREAD_COND_INITIALIZER;
    int started = 0, finished = 0;
    ManyClient* all = calloc((size_t)clients, sizeof *all);
    pthread_t* threads = calloc((size_t)clients, sizeof *threads);
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    /* Small stacks, with the buffer on the heap: the C library keeps 40 MiB of ended threads'
     * stacks, and each one past that is unmapped at its join, which stops the server's core too
     * to flush its address cache. */
    pthread_attr_setstacksize(&attributes, 64 * 1024);
    for (int i = 0; i < clients; ++i) {
        all[i] = (ManyClient){port, user, pass, name, &lock, &go, &done, &started, &finished, dataFlags, kFailedLater};
        if (pthread_create(&threads[i], &attributes, RunManyClient, &all[i]) != 0)
            Die("many: thread");
    }
    pthread_mutex_lock(&lock);
    started = 1;
    Family before = ReadFamily(server);
    double start = Now(), clientCpu = OwnCpuSeconds();
    pthread_cond_broadcast(&go);
    long long peak = 0;
    while (samplePeak && finished < clients) {
        pthread_mutex_unlock(&lock);
        Family family = ReadFamily(server);
        peak = family.residentBytes > peak ? family.residentBytes : peak;
        pthread_mutex_lock(&lock);
        struct timespec until;
        clock_gettime(CLOCK_REALTIME, &until);
        until.tv_nsec += 100 * 1000 * 1000;
        until.tv_sec += until.tv_nsec / 1000000000;
        until.tv_nsec %= 1000000000;
        if (finished < clients)
            pthread_cond_timedwait(&done, &lock, &until);
    }
    pthread_mutex_unlock(&lock);
    int failures = 0, outcomes[kFailedLater + 1] = {0};
    for (int i = 0; i < clients; ++i) {
        pthread_join(threads[i], NULL);
        failures += all[i].outcome != 0;
        ++outcomes[all[i].outcome];
    }
    double seconds = Now() - start;
    clientCpu = OwnCpuSeconds() - clientCpu;
    printf("clients=%d failures=%d no_connection=%d no_greeting=%d no_login=%d seconds=%.6f client_cpu=%.3f", clients,
           failures, outcomes[kNoConnection], outcomes[kNoGreeting], outcomes[kNoLogin], seconds, clientCpu);
    if (samplePeak)
        printf(" family_peak_kib=%lld", peak >> 10);
    PrintServerCpu(server, &before);
    free(all);
    free(threads);
    return 0;
}

static void Sleep(double seconds)
{
    struct timespec left = {(time_t)seconds, (long)((seconds - (double)(time_t)seconds) * 1e9)};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

static int Idle(uint16_t port, const char* user, const char* pass, int clients, double seconds, pid_t server)
{
    Control* sessions = calloc((size_t)clients, sizeof *sessions);
    if (!sessions)
        Die("calloc");
    int failures = 0;
    for (int i = 0; i < clients; ++i)
        failures += Login(&sessions[i], port, user, pass) != 0;
    Sleep(1); /* the logins' own work is over */
    const Family before = ReadFamily(server);
    Sleep(seconds);
    const Family after = ReadFamily(server);
    printf("failures=%d server_cpu_per_minute=%.4f\n", failures, (after.seconds - before.seconds) * 60 / seconds);
    for (int i = 0; i < clients; ++i) {
        if (sessions[i].fd >= 0)
            Quit(&sessions[i]);
    }
    free(sessions);
    return failures > 0;
}

static int LoginTimes(uint16_t port, const char* user, const char* pass, int count)
{
    double* times = calloc((size_t)count, sizeof *times);
    for (int i = 0; i < count; ++i) {
        Control c;
        double start = Now();
        if (Login(&c, port, user, pass) != 0)
            Die("login");
        times[i] = Now() - start;
        Quit(&c);
    }
    printf("count=%d median_us=%.1f\n", count, Median(times, count) * 1e6);
    free(times);
    return 0;
}

static int ListTimes(uint16_t port, const char* user, const char* pass, const char* folder, int count)
{
    Control c;
    char* buffer = malloc(kBig);
    double* times = calloc((size_t)count, sizeof *times);
    if (Login(&c, port, user, pass) != 0 || Command(&c, "CWD %s", folder) != 250)
        Die("list: login");
    long long bytes = 0;
    for (int i = 0; i < count; ++i) {
        double start = Now();
        bytes = Fetch(&c, buffer, kBig, "LIST", "");
        times[i] = Now() - start;
        if (bytes < 0)
            Die("list");
    }
    Quit(&c);
    printf("count=%d bytes=%lld median_ms=%.2f\n", count, bytes, Median(times, count) * 1e3);
    free(times);
    free(buffer);
    return 0;
}

static int Generate(const char* path, long long bytes)
{
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    char* buffer = malloc(kBig);
    uint64_t state = 2463534242ull;
    if (fd < 0)
        Die(path);
    for (long long left = bytes; left > 0;) {
        size_t piece = left < kBig ? (size_t)left : kBig;
        Noise(buffer, kBig, &state);
        if (write(fd, buffer, piece) != (ssize_t)piece)
            Die(path);
        left -= (long long)piece;
    }
    free(buffer);
    return close(fd);
}

static int Files(const char* folder, int count, long long bytes)
{
    for (int i = 0; i < count; ++i) {
        char path[4096];
        snprintf(path, sizeof path, "%s/f%05d", folder, i);
        Generate(path, bytes);
    }
    return 0;
}

/* A connected loopback pair: the accepted end and the connecting end. */
static void Pair(int* server, int* client)
{
    int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in address = {.sin_family = AF_INET};
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listener < 0 || bind(listener, (struct sockaddr*)&address, sizeof address) != 0 || listen(listener, 1) != 0 ||
        getsockname(listener, (struct sockaddr*)&address, &length) != 0)
        Die("pair");
    *client = Connect(ntohs(address.sin_port));
    *server = accept(listener, NULL, NULL);
    if (*client < 0 || *server < 0)
        Die("pair: connect");
    close(listener);
}

typedef struct
{
    int fd;
    long long bytes;
    const char* path;
} Peer;

/* The server side of a download under the rule: pread one chunk, send it without blocking, wait
 * with poll only when the socket is full, re-read what a partial send left. */
static void* ChunkSender(void* argument)
{
    Peer* p = argument;
    int file = open(p->path, O_RDONLY | O_CLOEXEC);
    struct stat info;
    if (file < 0 || fstat(file, &info) != 0)
        Die(p->path);
    fcntl(p->fd, F_SETFL, O_NONBLOCK);
    char chunk[kChunk];
    for (off_t sent = 0; sent < info.st_size;) {
        size_t want = info.st_size - sent < kChunk ? (size_t)(info.st_size - sent) : kChunk;
        ssize_t got = pread(file, chunk, want, sent);
        if (got <= 0)
            Die("probe: pread");
        ssize_t n = send(p->fd, chunk, (size_t)got, MSG_NOSIGNAL);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            struct pollfd wait = {p->fd, POLLOUT, 0};
            poll(&wait, 1, -1);
            continue;
        }
        if (n < 0)
            Die("probe: send");
        sent += n;
    }
    p->bytes = info.st_size;
    close(file);
    close(p->fd);
    return NULL;
}

/* The client side of an upload: large sends of generated data. */
static void* BulkSender(void* argument)
{
    Peer* p = argument;
    char* buffer = malloc(kBig);
    uint64_t state = 88172645463325252ull;
    Noise(buffer, kBig, &state);
    for (long long left = p->bytes; left > 0;) {
        size_t piece = left < kBig ? (size_t)left : kBig;
        if (SendAll(p->fd, buffer, piece) != 0)
            Die("probe: send");
        left -= (long long)piece;
    }
    close(p->fd);
    free(buffer);
    return NULL;
}

static int ProbeSend(const char* path)
{
    Peer p = {.path = path};
    int receiver;
    Pair(&p.fd, &receiver);
    char* buffer = malloc(kBig);
    pthread_t thread;
    double start = Now();
    pthread_create(&thread, NULL, ChunkSender, &p);
    long long got = Drain((Data){receiver, NULL}, buffer, kBig, 0);
    pthread_join(thread, NULL);
    double seconds = Now() - start;
    if (got != p.bytes)
        Die("probe-send: short");
    printf("bytes=%lld seconds=%.6f mbps=%.1f\n", got, seconds, got / seconds / 1e6);
    close(receiver);
    free(buffer);
    return 0;
}

/* The server side of an upload under the rule: one 4096-byte receive, written to the file. */
static int ProbeReceive(const char* path, long long bytes)
{
    Peer p = {.bytes = bytes};
    int receiver;
    Pair(&receiver, &p.fd);
    pthread_t thread;
    double start = Now();
    pthread_create(&thread, NULL, BulkSender, &p);
    int file = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (file < 0)
        Die(path);
    char chunk[kChunk];
    long long total = 0;
    for (;;) {
        ssize_t n = recv(receiver, chunk, kChunk, 0);
        if (n == 0)
            break;
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 || write(file, chunk, (size_t)n) != n)
            Die("probe-recv");
        total += n;
    }
    close(file);
    pthread_join(thread, NULL);
    double seconds = Now() - start;
    printf("bytes=%lld seconds=%.6f mbps=%.1f\n", total, seconds, total / seconds / 1e6);
    close(receiver);
    return 0;
}

/* What this client's own sends and receives reach, with no server and no file in between. */
static int ProbeWire(long long bytes)
{
    Peer p = {.bytes = bytes};
    int receiver;
    Pair(&receiver, &p.fd);
    char* buffer = malloc(kBig);
    pthread_t thread;
    double start = Now();
    pthread_create(&thread, NULL, BulkSender, &p);
    long long got = Drain((Data){receiver, NULL}, buffer, kBig, 0);
    pthread_join(thread, NULL);
    double seconds = Now() - start;
    printf("bytes=%lld seconds=%.6f mbps=%.1f\n", got, seconds, got / seconds / 1e6);
    close(receiver);
    free(buffer);
    return 0;
}

/* The first loopback port from FIRST up that nothing holds, or one the kernel picks (FIRST 0). */
static int Port(int first)
{
    for (int port = first; port < 65536; ++port) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        struct sockaddr_in address = {.sin_family = AF_INET, .sin_port = htons((uint16_t)port)};
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (fd < 0)
            Die("port");
        if (bind(fd, (struct sockaddr*)&address, sizeof address) == 0 &&
            getsockname(fd, (struct sockaddr*)&address, &length) == 0) {
            printf("port=%d\n", ntohs(address.sin_port));
            return close(fd);
        }
        close(fd);
        if (first == 0)
            break;
    }
    Die("port");
    return 1;
}

/* Runs COMMAND as a child, with its pid written to PIDFILE, as a child subreaper: the processes that
 * a forking server leaves behind (a session whose parent ended first) come to this process, which
 * reaps them, so none is left as a zombie and none outlives the run. On TERM, INT or HUP every
 * descendant gets SIGTERM, and SIGKILL if it is still there two seconds later. Exits once the
 * command and everything it left behind have ended, with the command's status. */
static int Reap(const char* pidFile, char** command)
{
    sigset_t signals, previous;
    sigemptyset(&signals);
    sigaddset(&signals, SIGCHLD);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGHUP);
    sigprocmask(SIG_BLOCK, &signals, &previous);
    if (prctl(PR_SET_CHILD_SUBREAPER, 1) != 0)
        Die("reap: subreaper");
    pid_t child = fork();
    if (child < 0)
        Die("reap: fork");
    if (child == 0) {
        sigprocmask(SIG_SETMASK, &previous, NULL);
        execvp(command[0], command);
        perror(command[0]);
        _exit(127);
    }
    char temporary[4096];
    snprintf(temporary, sizeof temporary, "%s.new", pidFile);
    FILE* file = fopen(temporary, "w");
    if (!file || fprintf(file, "%d\n", (int)child) < 0 || fclose(file) != 0 || rename(temporary, pidFile) != 0)
        Die(pidFile);
    int status = 0;
    double killAt = 0;
    for (;;) {
        int code;
        pid_t ended;
        while ((ended = waitpid(-1, &code, WNOHANG)) > 0) {
            if (ended == child)
                status = WIFEXITED(code) ? WEXITSTATUS(code) : 128 + WTERMSIG(code);
        }
        if (ended < 0 && errno == ECHILD)
            return status;
        struct timespec pause = {0, 100 * 1000 * 1000};
        int got = sigtimedwait(&signals, NULL, &pause);
        if ((got == SIGTERM || got == SIGINT || got == SIGHUP) && killAt == 0) {
            SignalDescendants(getpid(), SIGTERM);
            killAt = Now() + 2;
        }
        if (killAt > 0 && Now() > killAt) {
            SignalDescendants(getpid(), SIGKILL);
            killAt = Now() + 2;
        }
    }
}

static int Usage(void)
{
    fputs("usage: client "
          "[tls-]retr|[tls-]stor|small|many|idle|[tls-]login|list|gen|files|probe-send|probe-recv|probe-wire|"
          "port|reap ...\n"
          "(see the head of bench/client.c)\n",
          stderr);
    return 2;
}

int main(int argc, char** argv)
{
    setvbuf(stdout, NULL, _IOLBF, 0);
    if (argc < 2)
        return Usage();
    const char* verb = argv[1];
#define NEED(n)                                                                                                        \
    if (argc != (n))                                                                                                   \
    return Usage()
    if (!strcmp(verb, "gen")) {
        NEED(4);
        return Generate(argv[2], atoll(argv[3]));
    }
    if (!strcmp(verb, "files")) {
        NEED(5);
        return Files(argv[2], atoi(argv[3]), atoll(argv[4]));
    }
    if (!strcmp(verb, "probe-send")) {
        NEED(3);
        return ProbeSend(argv[2]);
    }
    if (!strcmp(verb, "probe-recv")) {
        NEED(4);
        return ProbeReceive(argv[2], atoll(argv[3]));
    }
    if (!strcmp(verb, "probe-wire")) {
        NEED(3);
        return ProbeWire(atoll(argv[2]));
    }
    if (!strcmp(verb, "port")) {
        if (argc != 2 && argc != 3)
            return Usage();
        return Port(argc == 3 ? atoi(argv[2]) : 0);
    }
    if (!strcmp(verb, "reap")) {
        if (argc < 4)
            return Usage();
        return Reap(argv[2], argv + 3);
    }
    if (!strncmp(verb, "tls-", 4)) {
        verb += 4;
        g_tls = SSL_CTX_new(TLS_client_method());
        if (!g_tls || (strcmp(verb, "retr") && strcmp(verb, "stor") && strcmp(verb, "login")))
            return Usage();
        SSL_CTX_set_min_proto_version(g_tls, TLS1_2_VERSION);
        /* Sessions are kept for the data connections to resume, as curl, lftp and FileZilla do. */
        SSL_CTX_set_session_cache_mode(g_tls, SSL_SESS_CACHE_CLIENT);
    }
    if (argc < 5)
        return Usage();
    uint16_t port = (uint16_t)atoi(argv[2]);
    const char *user = argv[3], *pass = argv[4];
    if (!strcmp(verb, "retr")) {
        if (argc != 6 && argc != 7)
            return Usage();
        return Retr(port, user, pass, argv[5], argc == 7 ? atoi(argv[6]) : 0);
    }
    if (!strcmp(verb, "stor")) {
        if (argc != 7 && argc != 8)
            return Usage();
        return Stor(port, user, pass, argv[5], atoll(argv[6]), argc == 8 ? atoi(argv[7]) : 0);
    }
    if (!strcmp(verb, "small")) {
        NEED(7);
        return Small(port, user, pass, argv[5], atoi(argv[6]));
    }
    if (!strcmp(verb, "many")) {
        int peak = 0, unread = 0;
        for (int i = 8; i < argc; ++i) {
            if (!strcmp(argv[i], "peak") && !peak)
                peak = 1;
            else if (!strcmp(argv[i], "unread") && !unread)
                unread = 1;
            else
                return Usage();
        }
        if (argc < 7)
            return Usage();
        return Many(port, user, pass, atoi(argv[5]), argv[6], argc >= 8 ? atoi(argv[7]) : 0, peak,
                    unread ? MSG_TRUNC : 0);
    }
    if (!strcmp(verb, "idle")) {
        NEED(8);
        return Idle(port, user, pass, atoi(argv[5]), atof(argv[6]), atoi(argv[7]));
    }
    if (!strcmp(verb, "login")) {
        NEED(6);
        return LoginTimes(port, user, pass, atoi(argv[5]));
    }
    if (!strcmp(verb, "list")) {
        NEED(7);
        return ListTimes(port, user, pass, argv[5], atoi(argv[6]));
    }
    return Usage();
}
