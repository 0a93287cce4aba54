#ifndef NORVAK_TESTS_SUPPORT_LOOPBACK_PORT_H_
#define NORVAK_TESTS_SUPPORT_LOOPBACK_PORT_H_

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include "ipc/nk_unique_fd.h"

// A loopback port nobody listens on (for as long as nobody takes it).
inline int freePort() {
  norvak::base::UniqueFd s(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  struct sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  EXPECT_EQ(0, bind(s.get(), reinterpret_cast<sockaddr*>(&a), sizeof a));
  socklen_t len = sizeof a;
  EXPECT_EQ(0, getsockname(s.get(), reinterpret_cast<sockaddr*>(&a), &len));
  return ntohs(a.sin_port);
}

#endif  // NORVAK_TESTS_SUPPORT_LOOPBACK_PORT_H_
