// Preloaded into a child process, makes every bind() fail as if the address were unavailable: the
// only dependable way to see how a mode handles a socket it cannot open.
#include <errno.h>
#include <sys/socket.h>

extern "C" int bind(int, const struct sockaddr*, socklen_t) {
    errno = EADDRNOTAVAIL;
    return -1;
}
