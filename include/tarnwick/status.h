/* Status codes and connection states shared by the two C APIs (tarnwick.h for the
 * master, virtual_slave.h for the virtual slave).
 *
 * A status says whether a call was made as asked. It reports misuse only (a NULL
 * pointer, a buffer too small, a bad configuration, a call at the wrong time):
 * what happens on the connection (a bad reply, a watchdog expiry, a reset by the
 * slave) is no status but a change of state and a report to the callbacks.
 *
 * This header defines constants only, so that both libraries may include it
 * without defining a common symbol; each library has its own text function
 * (tarnwick_strerror, tarnwick_vslave_strerror). */
#ifndef TARNWICK_STATUS_H
#define TARNWICK_STATUS_H

/* 0 on success, a negative TARNWICK_E_* code otherwise. */
typedef int tarnwick_status;

enum {
    TARNWICK_OK = 0,
    TARNWICK_E_NULL = -1,             /* a required pointer argument is NULL */
    TARNWICK_E_INVALID = -2,          /* an argument or configuration value is refused */
    TARNWICK_E_VERSION = -3,          /* the config's struct_size is not this library's */
    TARNWICK_E_BUFFER_TOO_SMALL = -4, /* the caller's buffer cannot hold the result */
    TARNWICK_E_SIZE = -5,             /* a byte image or frame of the wrong length */
    TARNWICK_E_RUNNING = -6,          /* a setting that cannot change while running */
    TARNWICK_E_NOT_STARTED = -7,      /* nothing to send yet: start (or reset) first */
    TARNWICK_E_IN_CALLBACK = -8,      /* not allowed from the object's own callback */
    TARNWICK_E_NO_MEMORY = -9,        /* an allocation failed */
    TARNWICK_E_OBJECT = -10,          /* the object dictionary refused (see abort code) */
    TARNWICK_E_INTERNAL = -11         /* an unexpected failure inside the library */
};
/* The lowest status code: every code lies in TARNWICK_STATUS_MIN .. TARNWICK_OK. */
#define TARNWICK_STATUS_MIN TARNWICK_E_INTERNAL

/* Connection states, as both the master and the virtual slave walk them. */
typedef int tarnwick_state;

enum {
    TARNWICK_STATE_RESET = 0,
    TARNWICK_STATE_SESSION = 1,
    TARNWICK_STATE_CONNECTION = 2,
    TARNWICK_STATE_PARAMETER = 3,
    TARNWICK_STATE_DATA = 4
};
#define TARNWICK_STATE_COUNT 5

/* Safe-data bytes a frame carries at most, each way. */
#define TARNWICK_MAX_SAFE_DATA_BYTES 16
/* The longest frame: command, 8 blocks of two data bytes and a CRC, connection id.
 * A master takes replies up to 36 bytes: a 36th byte is read as padding of a 16-byte
 * frame; from 37 bytes a reply is refused (TARNWICK_REPLY_TOO_LONG). */
#define TARNWICK_MAX_FRAME_BYTES 35

#endif /* TARNWICK_STATUS_H */
