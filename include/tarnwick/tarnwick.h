/* The C API of the tarnwick FSoE master: one master connection per handle.
 *
 * Valid C11 and C++. Link with the master library: tarnwick::tarnwick in CMake,
 * -ltarnwick (pkg-config tarnwick) otherwise.
 *
 *   tarnwick_master_config config;
 *   tarnwick_master_config_init(&config);      fill in the fields, then
 *   tarnwick_master_new(&config, &master);
 *   tarnwick_master_start(master, now_us);
 *   every bus cycle:
 *     tarnwick_master_poll(master, now_us, NULL);              the watchdog
 *     tarnwick_master_set_outputs(master, outputs, size);        for this request
 *     tarnwick_master_set_reply(master, reply, n, now_us, NULL); the slave's frame in
 *     tarnwick_master_get_request(master, buf, sizeof buf, &n);  the request out
 *   tarnwick_master_free(&master);
 *
 * Every function but the name functions (tarnwick_strerror, tarnwick_*_name, which
 * return static texts) and tarnwick_version returns a tarnwick_status (status.h):
 * TARNWICK_OK, or a negative code for misuse, in which case nothing was changed
 * (but out-parameters, as noted). An output buffer may be NULL when its capacity is
 * 0: the call then reports the length needed (TARNWICK_E_BUFFER_TOO_SMALL). Protocol events (a bad
 * reply, an expired watchdog, a reset by the slave) are no failures of a call: they change the
 * state, drop the inputs to their fail-safe image and are reported to the callbacks.
 *
 * Time is the caller's: microseconds of a monotonic clock, passed to every call that
 * may arm or check the watchdog.
 *
 * Threads: a master is used by one thread at a time (the caller locks if several
 * share it); separate masters share nothing and may run on separate threads.
 *
 * Not certified safety software: see docs/c-api.md. */
#ifndef TARNWICK_TARNWICK_H
#define TARNWICK_TARNWICK_H

#include "tarnwick/export.h"
#include "tarnwick/status.h"
#include "tarnwick/version.h"

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct tarnwick_master tarnwick_master;

/* --- Names ----------------------------------------------------------------------- */

/* Transitions of the master's state machine; an error report names the one taken. */
typedef int tarnwick_transition;

enum {
    TARNWICK_RESET_OK,
    TARNWICK_RESET_STAY1,
    TARNWICK_RESET_WD,
    TARNWICK_RESET_START,
    TARNWICK_SESSION_OK,
    TARNWICK_SESSION_FAIL1,
    TARNWICK_SESSION_STAY2,
    TARNWICK_SESSION_STAY1,
    TARNWICK_SESSION_RESET1,
    TARNWICK_SESSION_FAIL3,
    TARNWICK_SESSION_FAIL4,
    TARNWICK_SESSION_WD,
    TARNWICK_SESSION_RESET2,
    TARNWICK_CONN_OK,
    TARNWICK_CONN_FAIL1,
    TARNWICK_CONN_FAIL2,
    TARNWICK_CONN_FAIL3,
    TARNWICK_CONNECTION_STAY1,
    TARNWICK_CONN_RESET1,
    TARNWICK_CONN_FAIL4,
    TARNWICK_CONN_FAIL5,
    TARNWICK_CONN_WD,
    TARNWICK_CONN_RESET2,
    TARNWICK_PARA_OK,
    TARNWICK_PARA_FAIL1,
    TARNWICK_PARA_FAIL2,
    TARNWICK_PARA_FAIL3,
    TARNWICK_PARA_STAY1,
    TARNWICK_PARA_RESET1,
    TARNWICK_PARA_FAIL4,
    TARNWICK_PARA_FAIL5,
    TARNWICK_PARA_WD,
    TARNWICK_PARA_RESET2,
    TARNWICK_DATA_OK1,
    TARNWICK_DATA_OK2,
    TARNWICK_DATA_FAIL1,
    TARNWICK_DATA_FAIL2,
    TARNWICK_DATA_RESET1,
    TARNWICK_DATA_FAIL3,
    TARNWICK_DATA_FAIL4,
    TARNWICK_DATA_WD,
    TARNWICK_DATA_RESET2,
    TARNWICK_TRANSITION_COUNT
};

/* What set_reply (or cycle) did with a reply. */
typedef int tarnwick_reply_result;

enum {
    TARNWICK_REPLY_TAKEN = 0,       /* processed: one transition, a new request */
    TARNWICK_REPLY_REPEATED = 1,    /* the same bytes as the last reply taken: ignored */
    TARNWICK_REPLY_NOT_RUNNING = 2, /* before start or after stop: ignored */
    TARNWICK_REPLY_TOO_LONG = 3,    /* longer than any reply taken (over 36 bytes) */
    TARNWICK_REPLY_NONE = 4         /* no frame: length 0 (or a NULL reply to cycle) */
};

/* The data type an application parameter's echo is compared as. */
typedef int tarnwick_data_type;

enum {
    TARNWICK_TYPE_UNSIGNED = 0, /* unsigned of the parameter's n_bytes */
    TARNWICK_TYPE_BOOL = 1,
    TARNWICK_TYPE_FLOAT = 2,
    TARNWICK_TYPE_UINT8 = 3,
    TARNWICK_TYPE_INT8 = 4,
    TARNWICK_TYPE_UINT16 = 5,
    TARNWICK_TYPE_INT16 = 6,
    TARNWICK_TYPE_UINT32 = 7,
    TARNWICK_TYPE_INT32 = 8
};

/* A static text for each value; "unknown status" etc. for a value that names none.
 * Never NULL. */
TARNWICK_API const char* tarnwick_strerror(tarnwick_status status);
TARNWICK_API const char* tarnwick_state_name(tarnwick_state state);           /* "Data" */
TARNWICK_API const char* tarnwick_transition_name(tarnwick_transition t);     /* "DATA_WD" */
TARNWICK_API const char* tarnwick_reply_result_name(tarnwick_reply_result r); /* "TAKEN" */
/* FSoE error codes: RESET, INVALID_CMD ... INVALID_USERPARA (0 to 11),
 * INVALID_SAFEPARA_128 ... _255; "UNKNOWN_ERROR" for the codes between and above. */
TARNWICK_API const char* tarnwick_error_code_name(uint32_t code);

/* The library's version, "MAJOR.MINOR.PATCH": TARNWICK_VERSION_STRING of the headers
 * it was built with, which a program may compare with its own. Never NULL. */
TARNWICK_API const char* tarnwick_version(void);

/* The 32-bit CRC of safety-related application parameters, fed word by word (low
 * byte first): the application parameter a slave often expects. */
TARNWICK_API tarnwick_status tarnwick_sra_crc(const uint16_t* words, size_t count, uint32_t* crc);

/* --- Callbacks ------------------------------------------------------------------- */

/* A failure the master detected (or a reset by the slave), reported before its
 * transition is taken. */
typedef struct tarnwick_error_report {
    tarnwick_transition transition;
    tarnwick_state state; /* the state it happened in */
    /* The FSoE error code: for a reset by the slave (the *_RESET1 transitions) the
     * code the slave sent, otherwise the code this master sends in its Reset frames. */
    uint32_t error_code;
    const char* message; /* valid during the call only */
} tarnwick_error_report;

/* Both run inside the call that caused the event (set_reply, poll, start, stop,
 * reset) and may call that master again: reset, stop, set_reply, set_outputs, ... .
 * An event whose callback ran another event (reset, stop, set_reply) ends there: the
 * nested one has settled the state and built the request. tarnwick_master_free is
 * refused inside a callback (TARNWICK_E_IN_CALLBACK). Callbacks must return normally
 * (no longjmp, no C++ exception). Either pointer may be NULL. */
typedef struct tarnwick_master_callbacks {
    void (*on_state_change)(tarnwick_master* master, tarnwick_state from, tarnwick_state to,
                            void* context);
    void (*on_error)(tarnwick_master* master, const tarnwick_error_report* report, void* context);
    void* context; /* passed to both; the caller keeps it alive */
} tarnwick_master_callbacks;

/* --- Configuration --------------------------------------------------------------- */

typedef struct tarnwick_app_parameter {
    uint32_t value;          /* the pattern sent, n_bytes wide */
    uint8_t n_bytes;         /* 1, 2 or 4 */
    tarnwick_data_type type; /* how the slave's echo is compared; 0: unsigned */
} tarnwick_app_parameter;

/* At most this many application parameters. */
#define TARNWICK_MAX_APP_PARAMETERS 47

typedef struct tarnwick_master_config {
    uint32_t struct_size; /* sizeof(tarnwick_master_config): set by _config_init */
    uint16_t slave_address;
    uint16_t connection_id; /* 0 is refused */
    uint16_t watchdog_ms;   /* sent to the slave and timed here; 0 is refused */
    /* Safe-data bytes each way, 1 to 16 (0 is refused). An odd size above 1 travels
     * as the next even size (3 as 4, ...): the extra byte is sent as 0. */
    uint8_t output_bytes; /* of the requests */
    uint8_t input_bytes;  /* of the replies */
    /* Copied by tarnwick_master_new; NULL when parameter_count is 0. */
    const tarnwick_app_parameter* parameters;
    size_t parameter_count;
    uint64_t session_id_seed; /* seeds the master's own session ids */
    /* The inputs whenever the connection drops them (zero after _config_init). */
    uint8_t fail_safe_inputs[TARNWICK_MAX_SAFE_DATA_BYTES];
    tarnwick_master_callbacks callbacks; /* none after _config_init */
    /* Frames each way the history keeps (0, after _config_init: none); at most
     * TARNWICK_MAX_HISTORY_FRAMES. The storage is taken by tarnwick_master_new. */
    size_t history_frames;
} tarnwick_master_config;

/* Zeroes the config and sets struct_size for the header the caller compiled with
 * (a library of another version refuses it with TARNWICK_E_VERSION). */
static inline void tarnwick_master_config_init(tarnwick_master_config* config) {
    if (!config) return;
    memset(config, 0, sizeof *config);
    config->struct_size = (uint32_t)sizeof *config;
}

/* --- Life cycle ------------------------------------------------------------------ */

/* A new master, stopped, in Reset, into *out (set to NULL on failure). The config is
 * copied: the caller keeps nothing alive but the callbacks' context. Refuses a bad
 * configuration with TARNWICK_E_INVALID, a wrong struct_size with TARNWICK_E_VERSION. */
TARNWICK_API tarnwick_status tarnwick_master_new(const tarnwick_master_config* config,
                                                 tarnwick_master** out);
/* Checks a config as tarnwick_master_new does, without keeping a master. On refusal
 * writes a text naming the refused setting into `text` (cap bytes, NUL-terminated, cut
 * to fit; an empty text on success). `text` may be NULL when cap is 0. */
TARNWICK_API tarnwick_status tarnwick_master_config_check(const tarnwick_master_config* config,
                                                          char* text, size_t cap);
/* Destroys *handle and sets it to NULL; a NULL *handle does nothing, so freeing twice
 * through the same variable is harmless. Refused inside the master's own callback. */
TARNWICK_API tarnwick_status tarnwick_master_free(tarnwick_master** handle);
/* Replaces the callbacks (copied; NULL: none). Allowed at any time. */
TARNWICK_API tarnwick_status tarnwick_master_set_callbacks(tarnwick_master* master,
                                                           const tarnwick_master_callbacks* cb);

/* start sizes the frames and resets the connection (running or not); stop resets it,
 * stops taking replies and disarms the watchdog; reset goes back to Reset. */
TARNWICK_API tarnwick_status tarnwick_master_start(tarnwick_master* master, uint64_t now_us);
TARNWICK_API tarnwick_status tarnwick_master_stop(tarnwick_master* master, uint64_t now_us);
TARNWICK_API tarnwick_status tarnwick_master_reset(tarnwick_master* master, uint64_t now_us);

/* --- The cycle ------------------------------------------------------------------- */

/* Hands the slave's frame to the master (copied; any length is safe). The same bytes
 * as the last reply taken are ignored. Length 0 is no frame (none arrived this cycle,
 * e.g. a bad working counter): nothing is processed and the result is
 * TARNWICK_REPLY_NONE. `result` (may be NULL) receives what was done with the reply.
 * `reply` may be NULL only when `len` is 0. A reply taken builds the next request
 * from the outputs and fail-safe switch set before this call. */
TARNWICK_API tarnwick_status tarnwick_master_set_reply(tarnwick_master* master,
                                                       const uint8_t* reply, size_t len,
                                                       uint64_t now_us,
                                                       tarnwick_reply_result* result);
/* Copies the request to send into buf (cap bytes; TARNWICK_MAX_FRAME_BYTES always
 * suffice) and its length into *len. When buf is too small (or NULL with cap 0),
 * nothing is copied, *len receives the length needed and TARNWICK_E_BUFFER_TOO_SMALL
 * is returned. TARNWICK_E_NOT_STARTED before the first start or reset. */
TARNWICK_API tarnwick_status tarnwick_master_get_request(const tarnwick_master* master,
                                                         uint8_t* buf, size_t cap, size_t* len);
/* One bus cycle in one call: poll, set_reply (skipped when `reply` is NULL or
 * `reply_len` is 0: no frame arrived, *result is TARNWICK_REPLY_NONE), get_request.
 * Every argument is checked first: a refusal (a NULL pointer, a request buffer
 * shorter than the request, TARNWICK_E_NOT_STARTED) has polled and taken nothing.
 * `result` may be NULL. */
TARNWICK_API tarnwick_status tarnwick_master_cycle(tarnwick_master* master, const uint8_t* reply,
                                                   size_t reply_len, uint64_t now_us,
                                                   uint8_t* request, size_t cap,
                                                   size_t* request_len,
                                                   tarnwick_reply_result* result);
/* Delivers a watchdog expiry when one is due; *expired (may be NULL) tells whether. */
TARNWICK_API tarnwick_status tarnwick_master_poll(tarnwick_master* master, uint64_t now_us,
                                                  bool* expired);

/* --- Process data ---------------------------------------------------------------- */

/* The safe outputs, exactly output_bytes long (copied; sent in Data once fail-safe
 * is off). Any other length: TARNWICK_E_SIZE. They go out in the request built by the
 * next reply taken (or reset): set them before set_reply or cycle. */
TARNWICK_API tarnwick_status tarnwick_master_set_outputs(tarnwick_master* master,
                                                         const uint8_t* data, size_t len);
/* Copies the safe inputs (input_bytes) into buf; *len receives input_bytes, also
 * when buf is too small or NULL with cap 0 (TARNWICK_E_BUFFER_TOO_SMALL). They hold
 * the fail-safe image whenever the connection drops them there. */
TARNWICK_API tarnwick_status tarnwick_master_get_inputs(const tarnwick_master* master, uint8_t* buf,
                                                        size_t cap, size_t* len);
/* In Data: FailSafeData requests (true, as after every reset) or ProcessData, from
 * the request built by the next reply taken on (set it before set_reply or cycle). */
TARNWICK_API tarnwick_status tarnwick_master_set_fail_safe(tarnwick_master* master, bool active);
/* The fail-safe input image, exactly input_bytes long; applies at the next drop. */
TARNWICK_API tarnwick_status tarnwick_master_set_fail_safe_inputs(tarnwick_master* master,
                                                                  const uint8_t* data, size_t len);

/* --- State and settings ---------------------------------------------------------- */

TARNWICK_API tarnwick_status tarnwick_master_get_state(const tarnwick_master* master,
                                                       tarnwick_state* state);
TARNWICK_API tarnwick_status tarnwick_master_is_running(const tarnwick_master* master,
                                                        bool* running);
/* Whether the watchdog is armed and when it expires (µs of the caller's clock). */
TARNWICK_API tarnwick_status tarnwick_master_get_watchdog(const tarnwick_master* master,
                                                          bool* armed, uint64_t* deadline_us);
/* While stopped only (TARNWICK_E_RUNNING otherwise). */
TARNWICK_API tarnwick_status tarnwick_master_set_slave_address(tarnwick_master* master,
                                                               uint16_t address);
/* While stopped only (TARNWICK_E_RUNNING otherwise); TARNWICK_E_INVALID for an index
 * past the parameters (checked first, running or not) or a value wider than the
 * parameter's n_bytes. */
TARNWICK_API tarnwick_status tarnwick_master_set_parameter(tarnwick_master* master, size_t index,
                                                           uint32_t value);

/* --- Diagnostics and frame history ----------------------------------------------- */

/* A reported failure: the transition, its FSoE code (the slave's for a reset by the
 * slave), when (the caller's µs) and the text the error callback got. */
typedef struct tarnwick_error_record {
    bool set; /* false: none yet */
    tarnwick_transition transition;
    uint32_t error_code;
    uint64_t time_us;
    char message[96];
} tarnwick_error_record;

/* From publishing a request to taking the reply that answers it, in µs and in
 * cycles (replies delivered meanwhile, repeated ones included); mean = total / count. */
typedef struct tarnwick_response_time {
    uint64_t count;
    uint64_t last_us, min_us, max_us, total_us;
    uint64_t last_cycles, min_cycles, max_cycles, total_cycles;
} tarnwick_response_time;

/* What a master connection has seen since it was made or its diagnostics reset.
 * Kept on every event, always: no allocation, no system call. */
typedef struct tarnwick_diagnostics {
    uint32_t struct_size; /* sizeof(tarnwick_diagnostics): set by _diagnostics_init */
    uint64_t requests_published;
    uint64_t replies_taken;        /* processed: each took one transition */
    uint64_t replies_repeated;     /* the same bytes as the last one taken: ignored */
    uint64_t replies_wrong_length; /* neither the expected frame length nor it padded */
    size_t last_wrong_length;
    uint32_t transitions[TARNWICK_TRANSITION_COUNT]; /* times each was taken */
    uint64_t watchdog_expiries;
    uint64_t resets_by_master; /* failures this master detected */
    uint64_t resets_by_slave;  /* Reset frames of the slave */
    uint32_t last_slave_code;  /* the error code of the slave's last Reset frame */
    uint64_t reconnections;    /* entries into Data after the first */
    tarnwick_error_record first_error, last_error;
    /* Time in each state (by tarnwick_state) up to its last change; the current state
     * has been in since state_since_us. */
    uint64_t time_in_state_us[TARNWICK_STATE_COUNT];
    uint64_t state_since_us;
    tarnwick_response_time response;
} tarnwick_diagnostics;

static inline void tarnwick_diagnostics_init(tarnwick_diagnostics* d) {
    if (!d) return;
    memset(d, 0, sizeof *d);
    d->struct_size = (uint32_t)sizeof *d;
}

/* Fills *out (struct_size set by tarnwick_diagnostics_init; another size:
 * TARNWICK_E_VERSION). Safe inside a callback. */
TARNWICK_API tarnwick_status tarnwick_master_get_diagnostics(const tarnwick_master* master,
                                                             tarnwick_diagnostics* out);
/* Starts the counters and the frame history over from the latest event's time. */
TARNWICK_API tarnwick_status tarnwick_master_reset_diagnostics(tarnwick_master* master);

#define TARNWICK_MAX_HISTORY_FRAMES 65536

/* What became of a frame of the history. */
typedef int tarnwick_frame_outcome;

enum {
    TARNWICK_FRAME_REQUEST = 0,  /* a request the master published */
    TARNWICK_FRAME_TAKEN = 1,    /* a reply processed: `transition` was taken on it */
    TARNWICK_FRAME_REPEATED = 2, /* a reply repeating the last one taken: ignored */
    TARNWICK_FRAME_TOO_LONG = 3  /* a reply longer than any frame: refused */
};

/* One frame: `size` is its whole length, `bytes` holds its first (at most 36) bytes.
 * A request's transition is the one after which it was built. A reply delivered again
 * unchanged is counted in the entry it repeats, not stored again. */
typedef struct tarnwick_history_entry {
    uint64_t index; /* order of arrival over both directions */
    uint64_t time_us;
    size_t size;
    uint32_t repeats;        /* a reply delivered again unchanged (ignored) this many times */
    uint64_t last_repeat_us; /* ... the last time at */
    bool from_master;
    tarnwick_frame_outcome outcome;
    bool has_transition;
    tarnwick_transition transition;
    uint8_t bytes[TARNWICK_MAX_FRAME_BYTES + 1];
} tarnwick_history_entry;

/* Copies the frames held, oldest first, into out (the newest `cap` when more are
 * held) and their number into *count. With out NULL and cap 0, *count receives the
 * number held. Safe inside a callback (e.g. to show the frames before an error). */
TARNWICK_API tarnwick_status tarnwick_master_get_history(const tarnwick_master* master,
                                                         tarnwick_history_entry* out, size_t cap,
                                                         size_t* count);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* TARNWICK_TARNWICK_H */
