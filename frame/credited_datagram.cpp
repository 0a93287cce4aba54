#include "frame/credited_datagram.h"

#include <errno.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#if defined(__FreeBSD__)
#include <sys/ucred.h>
#endif

ssize_t receiveCreditedDatagram(int fd, char* data, size_t size, pid_t& sender) {
  sender = -1;
  struct iovec iov = {data, size};
  union {
    struct cmsghdr align;
#if defined(__linux__)
    // Room for the credentials and a few descriptors a sender may add.
    char buf[CMSG_SPACE(sizeof(struct ucred)) + CMSG_SPACE(16 * sizeof(int))];
#elif defined(__FreeBSD__)
    char buf[CMSG_SPACE(SOCKCRED2SIZE(CMSG_GROUPS_MAX))];
#else
    char buf[64];
#endif
  } control;
  struct msghdr msg;
  memset(&msg, 0, sizeof(msg));
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  msg.msg_control = &control;
  msg.msg_controllen = sizeof(control);
  ssize_t n;
  do {
    n = recvmsg(fd, &msg, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return n;
  for (struct cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
    if (c->cmsg_level != SOL_SOCKET) continue;
    if (c->cmsg_type == SCM_RIGHTS) {
      const size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
      for (size_t i = 0; i < count; ++i) {
        int passed;
        memcpy(&passed, CMSG_DATA(c) + i * sizeof(int), sizeof(int));
        close(passed);
      }
    }
#if defined(__linux__)
    if (c->cmsg_type == SCM_CREDENTIALS) {
      struct ucred cred;
      memcpy(&cred, CMSG_DATA(c), sizeof(cred));
      sender = cred.pid;
    }
#elif defined(__FreeBSD__)
    if (c->cmsg_type == SCM_CREDS2) {
      struct sockcred2 cred;
      memcpy(&cred, CMSG_DATA(c), sizeof(cred));
      sender = cred.sc_pid;
    }
#endif
  }
  return n;
}
