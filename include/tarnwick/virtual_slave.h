/* The C API of the virtual FSoE slave: a simulated slave per handle, with its own
 * protocol engine, object dictionary, static map, mock clock and random source.
 *
 * Valid C11 and C++. Link with the virtual slave's library, which does not need the
 * master's: tarnwick::virtual_slave in CMake, -ltarnwick_virtual_slave
 * (pkg-config tarnwick-virtual-slave) otherwise.
 *
 * What it accepts from a master: a watchdog time of 50 to 10000 ms and exactly one
 * application parameter of 4 bytes, the SRA CRC (config.sra_crc). It judges them
 * at the master's first Data frame: outside these limits the master reaches Data
 * once, then the slave resets the connection, every time: INVALID_COMPARA for the
 * watchdog; for the parameter INVALID_CMD or INVALID_USERPARALEN (another length,
 * e.g. INVALID_CMD for 2 bytes) or INVALID_USERPARA (another value).
 *
 *   tarnwick_vslave_config config;
 *   tarnwick_vslave_config_init(&config);   set sra_crc and safe_data_bytes, then
 *   tarnwick_vslave_new(&config, &slave);
 *   every bus cycle:
 *     tarnwick_vslave_advance_time(slave, cycle_us);
 *     tarnwick_vslave_cycle(slave, request, n, reply, sizeof reply, &reply_len);
 *   tarnwick_vslave_free(&slave);
 *
 * Statuses as in status.h: misuse only; the connection's own events are the slave's
 * changes of state and its Reset frames. One thread at a time per slave; separate
 * slaves share nothing. Not certified safety software: see docs/c-api.md. */
#ifndef TARNWICK_VIRTUAL_SLAVE_H
#define TARNWICK_VIRTUAL_SLAVE_H

#include "tarnwick/export.h"
#include "tarnwick/status.h"

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct tarnwick_vslave tarnwick_vslave;

/* A request longer than this is refused (TARNWICK_E_SIZE). */
#define TARNWICK_VSLAVE_MAX_REQUEST_BYTES 24
/* The longest reply: a frame of 4 safe-data bytes. */
#define TARNWICK_VSLAVE_MAX_REPLY_BYTES 12
/* The STO status object, carried in bit 0 of the first safe-data byte each way. */
#define TARNWICK_VSLAVE_OBJECT_STO 0x040

typedef struct tarnwick_vslave_config {
    uint32_t struct_size;   /* sizeof(tarnwick_vslave_config): set by _config_init */
    uint16_t slave_address; /* 0x1234 after _config_init */
    uint32_t sra_crc;       /* the application parameter the master must send */
    uint64_t random_seed;   /* the source of the slave's session ids; 1 after _config_init */
    uint32_t start_time_us; /* the mock clock's start (it wraps at 2^32) */
    /* 1, 2 or 4: a map carrying the STO status in bit 0 of the first safe-data byte
     * each way; the slave is started with it. */
    uint8_t safe_data_bytes;
} tarnwick_vslave_config;

/* Zeroes the config, sets struct_size for the caller's header and the defaults. */
static inline void tarnwick_vslave_config_init(tarnwick_vslave_config* config) {
    if (!config) return;
    memset(config, 0, sizeof *config);
    config->struct_size = (uint32_t)sizeof *config;
    config->slave_address = 0x1234;
    config->random_seed = 1;
}

/* A static text for each status; never NULL. */
TARNWICK_API const char* tarnwick_vslave_strerror(tarnwick_status status);
/* The library's version, "MAJOR.MINOR.PATCH" (TARNWICK_VERSION_STRING of the
 * headers it was built with; tarnwick/version.h). Never NULL. */
TARNWICK_API const char* tarnwick_vslave_version(void);

/* A new slave, started, in Reset, into *out (NULL on failure). The config is copied.
 * TARNWICK_E_INVALID for a safe-data size other than 1, 2 or 4. */
TARNWICK_API tarnwick_status tarnwick_vslave_new(const tarnwick_vslave_config* config,
                                                 tarnwick_vslave** out);
/* Destroys *handle and sets it to NULL; a NULL *handle does nothing. */
TARNWICK_API tarnwick_status tarnwick_vslave_free(tarnwick_vslave** handle);

/* Stop: the engine inactive (STO status to its safe value), Reset. Start: the map
 * checked again and the engine active; TARNWICK_E_INVALID when the map (rewritten
 * through its objects while stopped) is invalid. */
TARNWICK_API tarnwick_status tarnwick_vslave_stop(tarnwick_vslave* slave);
TARNWICK_API tarnwick_status tarnwick_vslave_start(tarnwick_vslave* slave);

/* --- The cycle ------------------------------------------------------------------- */

/* Takes the master's request (copied; missing bytes read as 0). Longer than
 * TARNWICK_VSLAVE_MAX_REQUEST_BYTES: TARNWICK_E_SIZE, nothing taken. `data` may be
 * NULL only when `len` is 0. */
TARNWICK_API tarnwick_status tarnwick_vslave_set_request(tarnwick_vslave* slave,
                                                         const uint8_t* data, size_t len);
/* One engine step: the watchdog, then the pending request, then the reply. */
TARNWICK_API tarnwick_status tarnwick_vslave_process(tarnwick_vslave* slave);
/* Copies the reply frame into buf (TARNWICK_VSLAVE_MAX_REPLY_BYTES always suffice);
 * *len receives its length, also when buf is too small or NULL with cap 0 (then
 * nothing is copied: TARNWICK_E_BUFFER_TOO_SMALL). */
TARNWICK_API tarnwick_status tarnwick_vslave_get_reply(const tarnwick_vslave* slave, uint8_t* buf,
                                                       size_t cap, size_t* len);
/* set_request (skipped when `request` is NULL: no frame arrived), process, get_reply. */
TARNWICK_API tarnwick_status tarnwick_vslave_cycle(tarnwick_vslave* slave, const uint8_t* request,
                                                   size_t request_len, uint8_t* reply, size_t cap,
                                                   size_t* reply_len);

/* --- Time, state, objects -------------------------------------------------------- */

TARNWICK_API tarnwick_status tarnwick_vslave_set_time(tarnwick_vslave* slave, uint32_t us);
TARNWICK_API tarnwick_status tarnwick_vslave_advance_time(tarnwick_vslave* slave, uint32_t us);
TARNWICK_API tarnwick_status tarnwick_vslave_get_time(const tarnwick_vslave* slave, uint32_t* us);
TARNWICK_API tarnwick_status tarnwick_vslave_get_state(const tarnwick_vslave* slave,
                                                       tarnwick_state* state);
/* The STO status the master commanded (false whenever the connection dropped). */
TARNWICK_API tarnwick_status tarnwick_vslave_get_sto(const tarnwick_vslave* slave, bool* sto);
TARNWICK_API tarnwick_status tarnwick_vslave_set_sra_crc(tarnwick_vslave* slave, uint32_t crc);

/* Reads object `key` (docs/brisel.md lists them) into buf, little-endian; *size
 * receives the object's size as the dictionary counts it (bytes; words for the
 * string), also when cap is smaller or buf NULL with cap 0 (then
 * TARNWICK_E_BUFFER_TOO_SMALL, nothing copied; 16 bytes always suffice). A refused access:
 * TARNWICK_E_OBJECT with its abort code in *abort_code (may be NULL). */
TARNWICK_API tarnwick_status tarnwick_vslave_read_object(const tarnwick_vslave* slave, uint16_t key,
                                                         uint8_t* buf, size_t cap, size_t* size,
                                                         uint32_t* abort_code);
/* Writes len bytes to object `key`, exactly the object's size as read_object reports
 * it (1 byte for a boolean, 2 for 8- and 16-bit objects, 4 for 32-bit ones). Any
 * other length is refused with TARNWICK_E_OBJECT and abort code 0x06070010 (length
 * does not match), nothing written; other refusals as for read_object. */
TARNWICK_API tarnwick_status tarnwick_vslave_write_object(tarnwick_vslave* slave, uint16_t key,
                                                          const uint8_t* data, size_t len,
                                                          uint32_t* abort_code);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* TARNWICK_VIRTUAL_SLAVE_H */
