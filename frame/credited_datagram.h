#ifndef NORVAK_FRAME_CREDITED_DATAGRAM_H_
#define NORVAK_FRAME_CREDITED_DATAGRAM_H_

#include <stddef.h>
#include <sys/types.h>

// Takes one waiting datagram off a Unix datagram socket that asks for its
// senders' credentials (SO_PASSCRED; LOCAL_CREDS_PERSISTENT on FreeBSD),
// without waiting. Returns its length, or -1 when none waits (errno tells).
// sender is the sending process as the kernel names it, -1 when it did not;
// descriptors a sender passed along are closed, never kept.
ssize_t receiveCreditedDatagram(int fd, char* data, size_t size, pid_t& sender);

#endif  // NORVAK_FRAME_CREDITED_DATAGRAM_H_
