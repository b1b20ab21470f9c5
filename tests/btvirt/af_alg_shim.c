/* Loaded into the controller emulator (LD_PRELOAD) and nowhere else. The emulator opens kernel
 * crypto sockets (AF_ALG) whenever it creates a controller and gives up when it cannot, but
 * kernels built without AF_ALG refuse them. Nothing the tests do reaches that crypto, so an
 * eventfd stands in for each such socket and binding it succeeds. Only the descriptors handed
 * out here are faked: every other socket and bind goes to the C library, and a faked
 * descriptor stops being one when it is closed, since its number is soon reused for real
 * sockets (the emulator closes its crypto sockets when its last controller goes away). */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdatomic.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#ifndef AF_ALG
#define AF_ALG 38
#endif

/* Descriptor numbers of the emulator stay small; one past this is simply not faked. */
#define MAX_FAKED_FD 4096

static atomic_bool faked[MAX_FAKED_FD];

static int (*next_socket(void))(int, int, int) {
    static int (*fn)(int, int, int);
    if (!fn) fn = (int (*)(int, int, int))dlsym(RTLD_NEXT, "socket");
    return fn;
}

static int (*next_bind(void))(int, const struct sockaddr*, socklen_t) {
    static int (*fn)(int, const struct sockaddr*, socklen_t);
    if (!fn) fn = (int (*)(int, const struct sockaddr*, socklen_t))dlsym(RTLD_NEXT, "bind");
    return fn;
}

static int (*next_close(void))(int) {
    static int (*fn)(int);
    if (!fn) fn = (int (*)(int))dlsym(RTLD_NEXT, "close");
    return fn;
}

static int is_faked(int fd) {
    return fd >= 0 && fd < MAX_FAKED_FD && atomic_load(&faked[fd]);
}

int socket(int domain, int type, int protocol) {
    if (domain != AF_ALG) return next_socket()(domain, type, protocol);
    int flags = 0;
    if (type & SOCK_CLOEXEC) flags |= EFD_CLOEXEC;
    if (type & SOCK_NONBLOCK) flags |= EFD_NONBLOCK;
    const int fd = eventfd(0, flags);
    if (fd < 0) return -1;
    if (fd >= MAX_FAKED_FD) {
        next_close()(fd);
        errno = EMFILE;
        return -1;
    }
    atomic_store(&faked[fd], 1);
    return fd;
}

int bind(int fd, const struct sockaddr* address, socklen_t length) {
    if (is_faked(fd)) return 0;
    return next_bind()(fd, address, length);
}

int close(int fd) {
    /* Forgotten before the number is given back, so a socket that gets it next is real. */
    if (fd >= 0 && fd < MAX_FAKED_FD) atomic_store(&faked[fd], 0);
    return next_close()(fd);
}
