/* A C master against a C virtual slave, one bus cycle per loop pass: the shape of a C
 * EtherCAT application (your stack carries the two frames where this example hands
 * them over directly). The master switches the slave's STO on once connected, sees
 * the status come back, switches it off again and stops. Exits 0 only when all of
 * that happened. Built and run by ctest. */
#define _POSIX_C_SOURCE 199309L /* clock_gettime */

#include "tarnwick/tarnwick.h"
#include "tarnwick/virtual_slave.h"

#include <stdio.h>
#include <time.h>

#define SLAVE_ADDRESS 0x1234 /* the virtual slave's own address */
#define CONNECTION_ID 1
#define WATCHDOG_MS 100
#define SAFE_DATA_BYTES 1 /* the STO bit each way */
#define CYCLE_US 1000u    /* a 1 kHz bus */
#define CYCLE_LIMIT 200

static uint64_t monotonic_us(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint64_t)ts.tv_sec * 1000000u + (uint64_t)ts.tv_nsec / 1000u;
}

static void on_state_change(tarnwick_master* master, tarnwick_state from, tarnwick_state to,
                            void* context) {
    (void)master;
    (void)context;
    printf("state %s -> %s\n", tarnwick_state_name(from), tarnwick_state_name(to));
}

static void on_error(tarnwick_master* master, const tarnwick_error_report* report, void* context) {
    (void)master;
    (void)context;
    printf("error %s (%s): %s\n", tarnwick_transition_name(report->transition),
           tarnwick_error_code_name(report->error_code), report->message);
}

/* Stops the program at the first call that fails, naming it. */
#define CHECK(call)                                                                                \
    do {                                                                                           \
        tarnwick_status status_ = (call);                                                          \
        if (status_ != TARNWICK_OK) {                                                              \
            fprintf(stderr, "%s: %s\n", #call, tarnwick_strerror(status_));                        \
            return 1;                                                                              \
        }                                                                                          \
    } while (0)

/* One bus cycle: the master's request to the slave, the slave's reply back. */
static tarnwick_status bus_cycle(tarnwick_master* master, tarnwick_vslave* slave) {
    uint8_t request[TARNWICK_MAX_FRAME_BYTES];
    uint8_t reply[TARNWICK_VSLAVE_MAX_REPLY_BYTES];
    size_t request_len = 0;
    size_t reply_len = 0;
    uint64_t now = monotonic_us();
    tarnwick_status status = tarnwick_master_poll(master, now, NULL);
    if (status == TARNWICK_OK)
        status = tarnwick_master_get_request(master, request, sizeof request, &request_len);
    if (status == TARNWICK_OK) status = tarnwick_vslave_advance_time(slave, CYCLE_US);
    if (status == TARNWICK_OK) /* your stack: request to the slave, reply back */
        status =
            tarnwick_vslave_cycle(slave, request, request_len, reply, sizeof reply, &reply_len);
    if (status == TARNWICK_OK)
        status = tarnwick_master_set_reply(master, reply, reply_len, now, NULL);
    return status;
}

/* Cycles until the master's STO input reads `on`; 1 when it did. */
static int sto_round_trip(tarnwick_master* master, tarnwick_vslave* slave, uint8_t on) {
    uint8_t outputs[SAFE_DATA_BYTES] = {on};
    if (tarnwick_master_set_outputs(master, outputs, sizeof outputs) != TARNWICK_OK) return 0;
    for (int k = 0; k < 10; ++k) {
        uint8_t inputs[SAFE_DATA_BYTES];
        size_t len = 0;
        bool sto = false;
        if (bus_cycle(master, slave) != TARNWICK_OK) return 0;
        if (tarnwick_master_get_inputs(master, inputs, sizeof inputs, &len) != TARNWICK_OK ||
            tarnwick_vslave_get_sto(slave, &sto) != TARNWICK_OK)
            return 0;
        if ((inputs[0] & 1) == on && sto == (on != 0)) return 1;
    }
    return 0;
}

int main(void) {
    /* The slave expects the CRC of its safety parameters as the one 4-byte application
     * parameter. */
    const uint16_t sra_words[] = {0x0001, 0x0064, 0x03E8};
    uint32_t sra_crc = 0;
    CHECK(tarnwick_sra_crc(sra_words, 3, &sra_crc));

    tarnwick_vslave_config slave_config;
    tarnwick_vslave_config_init(&slave_config);
    slave_config.sra_crc = sra_crc;
    slave_config.safe_data_bytes = SAFE_DATA_BYTES;
    tarnwick_vslave* slave = NULL;
    CHECK(tarnwick_vslave_new(&slave_config, &slave));

    const tarnwick_app_parameter parameters[] = {{sra_crc, 4, TARNWICK_TYPE_UNSIGNED}};
    tarnwick_master_config config;
    tarnwick_master_config_init(&config);
    config.slave_address = SLAVE_ADDRESS;
    config.connection_id = CONNECTION_ID;
    config.watchdog_ms = WATCHDOG_MS;
    config.parameters = parameters;
    config.parameter_count = 1;
    config.output_bytes = config.input_bytes = SAFE_DATA_BYTES;
    config.session_id_seed = monotonic_us();
    config.callbacks.on_state_change = on_state_change;
    config.callbacks.on_error = on_error;
    char why[128]; /* a refused setting, named */
    if (tarnwick_master_config_check(&config, why, sizeof why) != TARNWICK_OK) {
        fprintf(stderr, "config refused: %s\n", why);
        return 1;
    }
    tarnwick_master* master = NULL;
    CHECK(tarnwick_master_new(&config, &master));

    CHECK(tarnwick_master_start(master, monotonic_us()));
    tarnwick_state state = TARNWICK_STATE_RESET;
    for (int cycle = 0; cycle < CYCLE_LIMIT && state != TARNWICK_STATE_DATA; ++cycle) {
        CHECK(bus_cycle(master, slave));
        CHECK(tarnwick_master_get_state(master, &state));
    }
    CHECK(tarnwick_master_set_fail_safe(master, false)); /* connected: ProcessData */
    int on = state == TARNWICK_STATE_DATA && sto_round_trip(master, slave, 1);
    int off = on && sto_round_trip(master, slave, 0);
    printf("Data %s, STO on %s, off %s\n", state == TARNWICK_STATE_DATA ? "yes" : "no",
           on ? "seen" : "not seen", off ? "seen" : "not seen");

    CHECK(tarnwick_master_stop(master, monotonic_us()));
    CHECK(tarnwick_master_free(&master));
    CHECK(tarnwick_vslave_free(&slave));
    return on && off ? 0 : 1;
}
