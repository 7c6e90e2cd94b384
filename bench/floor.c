/* A minimal responder for the benchmark's clients-at-once session, and nothing more: greeting,
 * USER, PASS, TYPE, PASV, LIST, RETR and QUIT, with no account, no path rules, no limits and no
 * monitor. It shows what the machine allows for that session: its wall time is a floor that no
 * real server reaches, against which the ratio to the peers can be read.
 *
 *   floor ROOT [FIRST:LAST [THREADS]]   serves ROOT on a free loopback port, named on standard
 *                                       error, with passive ports from FIRST to LAST
 *
 * Each thread runs its own epoll loop on its own listening socket, all on one port
 * (SO_REUSEPORT), so the kernel spreads the clients over them; LIST reads the folder's entries and
 * their status as any server must; RETR sends the file with sendfile. */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

enum Kind
{
    kListener,
    kControl,
    kPassive,
    kData
};
enum Pending
{
    kNothing,
    kList,
    kRetr
};

typedef struct Session Session;
typedef struct
{
    enum Kind kind;
    Session* session;
} Tag;

struct Session
{
    int control, passive, data, file;
    off_t offset, size;
    enum Pending pending;
    int ended;     /* closed; freed after the events at hand, which may still name it */
    Session* next; /* among the ended */
    char line[1024];
    size_t used;
    Tag controlTag, passiveTag, dataTag;
};

static const char* root;
static int rootFolder; /* shared by all sessions: RETR opens below it */
static uint16_t port;
static unsigned passiveFirst = 40000, passiveCount = 9000;
static __thread Session* ended;

static void Say(Session* s, const char* reply)
{
    send(s->control, reply, strlen(reply), MSG_NOSIGNAL);
}

static void Watch(int loop, int op, int fd, uint32_t events, Tag* tag)
{
    struct epoll_event event = {.events = events, .data.ptr = tag};
    epoll_ctl(loop, op, fd, &event);
}

static void Close(int loop, int* fd)
{
    if (*fd < 0)
        return;
    epoll_ctl(loop, EPOLL_CTL_DEL, *fd, NULL);
    close(*fd);
    *fd = -1;
}

static void EndTransfer(int loop, Session* s, const char* reply)
{
    Close(loop, &s->data);
    if (s->file >= 0)
        close(s->file);
    s->file = -1;
    s->pending = kNothing;
    Say(s, reply);
}

static void SendList(int loop, Session* s)
{
    DIR* folder = opendir(root);
    char text[64 * 1024];
    size_t used = 0;
    for (struct dirent* entry; folder && (entry = readdir(folder));) {
        struct stat status;
        if (entry->d_name[0] == '.' || fstatat(dirfd(folder), entry->d_name, &status, 0) != 0)
            continue;
        int n =
            snprintf(text + used, sizeof text - used, "%s 1 ftp ftp %lld Jan 01 00:00 %s\r\n",
                     S_ISDIR(status.st_mode) ? "drwxr-xr-x" : "-rw-r--r--", (long long)status.st_size, entry->d_name);
        if (n < 0 || (size_t)n >= sizeof text - used)
            break;
        used += (size_t)n;
    }
    if (folder)
        closedir(folder);
    send(s->data, text, used, MSG_NOSIGNAL);
    EndTransfer(loop, s, "226 Transfer complete.\r\n");
}

/* Moves what the socket takes now; on EAGAIN waits to be writable again. */
static void SendFile(int loop, Session* s)
{
    while (s->offset < s->size) {
        ssize_t n = sendfile(s->data, s->file, &s->offset, (size_t)(s->size - s->offset));
        if (n < 0 && errno == EAGAIN) {
            Watch(loop, EPOLL_CTL_MOD, s->data, EPOLLOUT, &s->dataTag);
            return;
        }
        if (n <= 0) {
            EndTransfer(loop, s, "426 Transfer aborted.\r\n");
            return;
        }
    }
    EndTransfer(loop, s, "226 Transfer complete.\r\n");
}

/* A transfer starts once both its command and its data connection are there, in either order. */
static void Transfer(int loop, Session* s)
{
    if (s->data < 0 || s->pending == kNothing)
        return;
    if (s->pending == kList)
        SendList(loop, s);
    else
        SendFile(loop, s);
}

/* Binds to the next free port of its range, as servers with a passive range do. A bind to port 0
 * has the kernel search past every port in TIME_WAIT, and after a few runs there are tens of
 * thousands of them: that search would cost more than the rest of the session. */
static int BindPassive(int fd, struct sockaddr_in* address)
{
    static unsigned next;
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    for (unsigned i = 0; i < passiveCount; ++i) {
        unsigned port = passiveFirst + __atomic_fetch_add(&next, 1, __ATOMIC_RELAXED) % passiveCount;
        address->sin_port = htons((uint16_t)port);
        if (bind(fd, (struct sockaddr*)address, sizeof *address) == 0)
            return 0;
    }
    address->sin_port = 0;
    return bind(fd, (struct sockaddr*)address, sizeof *address);
}

static void Passive(int loop, Session* s)
{
    Close(loop, &s->passive);
    Close(loop, &s->data);
    s->passive = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    struct sockaddr_in address = {.sin_family = AF_INET, .sin_addr.s_addr = htonl(INADDR_LOOPBACK)};
    socklen_t length = sizeof address;
    if (s->passive < 0 || BindPassive(s->passive, &address) != 0 || listen(s->passive, 1) != 0 ||
        getsockname(s->passive, (struct sockaddr*)&address, &length) != 0) {
        Say(s, "425 No data connection.\r\n");
        return;
    }
    Watch(loop, EPOLL_CTL_ADD, s->passive, EPOLLIN, &s->passiveTag);
    unsigned p = ntohs(address.sin_port);
    char reply[64];
    snprintf(reply, sizeof reply, "227 Entering Passive Mode (127,0,0,1,%u,%u).\r\n", p >> 8, p & 255);
    Say(s, reply);
}

static void Retr(int loop, Session* s, const char* name)
{
    struct stat status;
    if (s->file >= 0)
        close(s->file); /* an earlier RETR still waiting for its data connection */
    /* Names of the root folder only: the responder serves the benchmark's files, nothing else. */
    s->file = strchr(name, '/') || !strcmp(name, "..") ? -1 : openat(rootFolder, name, O_RDONLY | O_CLOEXEC);
    if (s->file < 0 || fstat(s->file, &status) != 0) {
        EndTransfer(loop, s, "550 No such file.\r\n");
        return;
    }
    s->offset = 0;
    s->size = status.st_size;
    s->pending = kRetr;
    Say(s, "150 Opening data connection.\r\n");
    Transfer(loop, s);
}

static void Command(int loop, Session* s, const char* line)
{
    if (!strncmp(line, "USER ", 5))
        Say(s, "331 Password required.\r\n");
    else if (!strncmp(line, "PASS ", 5))
        Say(s, "230 Logged in.\r\n");
    else if (!strncmp(line, "TYPE ", 5))
        Say(s, "200 Type set.\r\n");
    else if (!strcmp(line, "PASV"))
        Passive(loop, s);
    else if (!strcmp(line, "LIST")) {
        s->pending = kList;
        Say(s, "150 Opening data connection.\r\n");
        Transfer(loop, s);
    } else if (!strncmp(line, "RETR ", 5))
        Retr(loop, s, line + 5);
    else if (!strcmp(line, "QUIT"))
        Say(s, "221 Goodbye.\r\n");
    else
        Say(s, "502 Not here.\r\n");
}

static void EndSession(int loop, Session* s)
{
    Close(loop, &s->control);
    Close(loop, &s->passive);
    Close(loop, &s->data);
    if (s->file >= 0)
        close(s->file);
    s->ended = 1;
    s->next = ended;
    ended = s;
}

static void Readable(int loop, Session* s)
{
    ssize_t n = recv(s->control, s->line + s->used, sizeof s->line - s->used, 0);
    if (n < 0 && errno == EAGAIN)
        return;
    if (n <= 0) {
        EndSession(loop, s);
        return;
    }
    s->used += (size_t)n;
    for (char* end; (end = memchr(s->line, '\n', s->used));) {
        size_t length = (size_t)(end - s->line) + 1;
        *end = 0;
        if (end > s->line && end[-1] == '\r')
            end[-1] = 0;
        Command(loop, s, s->line);
        memmove(s->line, end + 1, s->used - length);
        s->used -= length;
    }
    if (s->used == sizeof s->line)
        EndSession(loop, s);
}

static void Accept(int loop, int listener)
{
    int fd, on = 1;
    while ((fd = accept4(listener, NULL, NULL, SOCK_NONBLOCK | SOCK_CLOEXEC)) >= 0) {
        Session* s = calloc(1, sizeof *s);
        *s = (Session){.control = fd, .passive = -1, .data = -1, .file = -1};
        s->controlTag = (Tag){kControl, s};
        s->passiveTag = (Tag){kPassive, s};
        s->dataTag = (Tag){kData, s};
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        Watch(loop, EPOLL_CTL_ADD, fd, EPOLLIN, &s->controlTag);
        Say(s, "220 Ready.\r\n");
    }
}

static int Listener(void)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0), on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &on, sizeof on);
    struct sockaddr_in address = {.sin_family = AF_INET, .sin_port = htons(port)};
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(fd, (struct sockaddr*)&address, sizeof address) != 0 || listen(fd, SOMAXCONN) != 0 ||
        getsockname(fd, (struct sockaddr*)&address, &length) != 0) {
        perror("floor: listen");
        exit(1);
    }
    port = ntohs(address.sin_port);
    return fd;
}

static void* Serve(void* argument)
{
    int listener = *(int*)argument, loop = epoll_create1(EPOLL_CLOEXEC);
    Tag listenerTag = {kListener, NULL};
    Watch(loop, EPOLL_CTL_ADD, listener, EPOLLIN, &listenerTag);
    struct epoll_event events[64];
    for (;;) {
        int count = epoll_wait(loop, events, 64, -1);
        for (int i = 0; i < count; ++i) {
            Tag* tag = events[i].data.ptr;
            Session* s = tag->session;
            if (s && s->ended)
                continue;
            if (tag->kind == kListener)
                Accept(loop, listener);
            else if (tag->kind == kControl)
                Readable(loop, s);
            else if (tag->kind == kPassive) {
                s->data = accept4(s->passive, NULL, NULL, SOCK_NONBLOCK | SOCK_CLOEXEC);
                Close(loop, &s->passive);
                if (s->data >= 0) {
                    Watch(loop, EPOLL_CTL_ADD, s->data, 0, &s->dataTag);
                    Transfer(loop, s);
                }
            } else if (s->pending == kRetr) {
                SendFile(loop, s);
            } else {
                Close(loop, &s->data); /* an error or hang-up before any command wanted it */
            }
        }
        while (ended) {
            Session* s = ended;
            ended = s->next;
            free(s);
        }
    }
    return NULL;
}

int main(int argc, char** argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: floor ROOT [FIRST:LAST [THREADS]]\n");
        return 2;
    }
    root = argv[1];
    rootFolder = open(root, O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (rootFolder < 0) {
        perror("floor: root");
        return 1;
    }
    /* 500 sessions hold up to five descriptors each: as servers do, take the hard limit. */
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
    unsigned first, last;
    if (argc > 2 && sscanf(argv[2], "%u:%u", &first, &last) == 2 && first > 0 && first <= last && last < 65536) {
        passiveFirst = first;
        passiveCount = last - first + 1;
    }
    int threads = argc > 3 ? atoi(argv[3]) : (int)sysconf(_SC_NPROCESSORS_ONLN);
    threads = threads < 1 ? 1 : threads > 64 ? 64 : threads;
    int listeners[64];
    for (int i = 0; i < threads; ++i)
        listeners[i] = Listener(); /* the first picks the port, the others join it */
    fprintf(stderr, "floor: listening on port %u\n", port);
    for (int i = 1; i < threads; ++i) {
        pthread_t thread;
        pthread_create(&thread, NULL, Serve, &listeners[i]);
    }
    Serve(&listeners[0]);
    return 0;
}
