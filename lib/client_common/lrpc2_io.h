// Whole-buffer socket I/O behind the session transport. Internal: these
// functions are not exported from the library.
#ifndef VX_CLIENT_COMMON_LRPC2_IO_H
#define VX_CLIENT_COMMON_LRPC2_IO_H

#include <stddef.h>
#include <stdint.h>

/* The moment on the monotonic clock by which a step must be done. A step
 * without deadline (`none`) blocks without limit. Every wait of a step is
 * bounded by the time left to its deadline, so a peer that sends or reads a
 * byte at a time cannot stretch the step. */
typedef struct LrpcDeadline {
  int64_t at_ns; /* CLOCK_MONOTONIC nanoseconds */
  int none;      /* 1: no deadline */
} LrpcDeadline;

/* Nanoseconds on the monotonic clock, which wall-clock changes do not move. */
int64_t MonotonicNs(void);
/* `seconds` after `start_ns`, the seconds capped at LRPC_MAX_WAIT_SECONDS.
 * OperationDeadline: 0 seconds is no deadline (block without limit), as the
 * time-outs of reads and writes mean. WaitDeadline: 0 seconds is `start_ns`
 * itself (no wait), as the time-outs of RecvWait, SendWait and connect mean. */
LrpcDeadline OperationDeadline(int64_t start_ns, uint32_t seconds);
LrpcDeadline WaitDeadline(int64_t start_ns, uint32_t seconds);
/* 1 once a deadline (not `none`) has passed. */
int DeadlinePassed(LrpcDeadline deadline);

/* Move exactly n bytes through the socket `fd` with sendmsg (MSG_NOSIGNAL)
 * or recvmsg, by `deadline`: whenever the socket is not ready the call waits
 * for the time left, and it fails with 408 once the deadline has passed
 * before the n bytes have moved, however steadily they trickle. Without a
 * deadline a non-blocking descriptor is made blocking for the call and
 * restored afterwards, whatever the outcome.
 * A hang-up or error that poll reports while waiting is settled by one more
 * send or receive, so bytes still queued are delivered and a closed peer is
 * 404 rather than 405. Status 0 (errno 0), 404 peer closed (or EPIPE), 405
 * socket error, 408 deadline passed (errno EAGAIN unless the failing call
 * set another); on failure errno is that of the failing call. */
uint32_t WriteFullBy(int fd, const void *buf, size_t n, LrpcDeadline deadline);
uint32_t ReadFullBy(int fd, void *buf, size_t n, LrpcDeadline deadline);
/* The same with a deadline `timeout` seconds from now (0: none). */
uint32_t WriteFull(int fd, const void *buf, size_t n, uint32_t timeout);
uint32_t ReadFull(int fd, void *buf, size_t n, uint32_t timeout);

/* Waits until `fd` shows `events` or `deadline` passes; results as RecvWait.
 * Without a deadline the wait has no limit. An interrupted poll goes on with
 * the time left. */
int WaitUntil(int fd, short events, LrpcDeadline deadline);
/* Common body of RecvWait (POLLIN) and SendWait (POLLOUT): one wait of up to
 * `seconds` (0: no wait). */
int WaitFd(int fd, short events, uint32_t seconds);

#endif  // VX_CLIENT_COMMON_LRPC2_IO_H
