// Whole-buffer socket I/O behind the session transport. Internal: these
// functions are not exported from the library.
#ifndef VX_CLIENT_COMMON_LRPC2_IO_H
#define VX_CLIENT_COMMON_LRPC2_IO_H

#include <stddef.h>
#include <stdint.h>

/* Move exactly n bytes through the socket `fd` with sendmsg (MSG_NOSIGNAL)
 * or recvmsg, waiting up to `timeout` seconds whenever
 * the socket is not ready; with a time-out of 0 a non-blocking descriptor is
 * made blocking for the call and restored afterwards, whatever the outcome.
 * A hang-up or error that poll reports while waiting is settled by one more
 * send or receive, so bytes still queued are delivered and a closed peer is
 * 404 rather than 405. Status 0 (errno 0), 404 peer closed (or EPIPE), 405
 * socket error, 408 time-out; on failure errno is that of the failing call. */
uint32_t WriteFull(int fd, const void *buf, size_t n, uint32_t timeout);
uint32_t ReadFull(int fd, void *buf, size_t n, uint32_t timeout);
/* Common body of RecvWait (POLLIN) and SendWait (POLLOUT). */
int WaitFd(int fd, short events, uint32_t seconds);

#endif  // VX_CLIENT_COMMON_LRPC2_IO_H
