/* Two FSoE connections in the shape of a SOEM application: one process image (the
 * IOmap) holds each slave's outputs and inputs; each slave's areas are byte pointers
 * into it. Per bus cycle the application sends and receives the process data (here a
 * fake bus whose two slaves are virtual FSoE slaves), then runs each FSoE master on
 * its slave's areas: the reply is read from the slave's inputs, the next request is
 * written into its outputs. The safe data are the STO bit, switched on for one
 * connection at a time.
 *
 * With SOEM, ec_config_map(&IOmap) lays out the image, ec_slave[i].outputs / .Obytes
 * and .inputs / .Ibytes give the areas, and ec_send_processdata() /
 * ec_receive_processdata() replace fake_bus_exchange() below. Exits 0 only when both
 * connections reached Data and each saw its own STO bit, and only its own, both ways.
 * Built and run by ctest. */
#include "tarnwick/tarnwick.h"
#include "tarnwick/virtual_slave.h"

#include <stdio.h>
#include <string.h>

#define SLAVES 2
#define CYCLE_US 1000u /* a 1 kHz bus, in the caller's time */
#define WALK_LIMIT 200
#define STO_CYCLES 10

/* A slave as the bus configuration sees it (SOEM's ec_slavet, the fields used). */
typedef struct {
    uint8_t* outputs; /* master to slave: the FSoE request */
    uint32_t Obytes;
    uint8_t* inputs; /* slave to master: the FSoE reply */
    uint32_t Ibytes;
} bus_slave;

/* The fake bus: each slave is a virtual FSoE slave behind its process data. */
typedef struct {
    uint8_t IOmap[64];
    bus_slave slave[SLAVES];
    tarnwick_vslave* device[SLAVES];
} fake_bus;

/* One safety connection of the application: its master and its slave's areas. */
typedef struct {
    tarnwick_master* master;
    const bus_slave* areas;
    uint8_t safe_bytes;
} connection;

static const uint8_t SAFE_BYTES[SLAVES] = {1, 2};
static const uint16_t ADDRESSES[SLAVES] = {0x0011, 0x0022};

/* A frame of n safe-data bytes fills this many bytes of a slave's process data: the
 * slave's frame in whole words (command, data and CRC blocks, connection id). */
static uint32_t frame_bytes(unsigned n) {
    return n == 1 ? 6u : 2u * (n + 2u);
}

/* Lays out the image as ec_config_map does: all outputs, then all inputs. */
static int fake_bus_open(fake_bus* bus, uint32_t sra_crc) {
    memset(bus, 0, sizeof *bus);
    uint32_t offset = 0;
    for (int k = 0; k < SLAVES; ++k) {
        bus->slave[k].Obytes = frame_bytes(SAFE_BYTES[k]);
        bus->slave[k].outputs = bus->IOmap + offset;
        offset += bus->slave[k].Obytes;
    }
    for (int k = 0; k < SLAVES; ++k) {
        bus->slave[k].Ibytes = frame_bytes(SAFE_BYTES[k]);
        bus->slave[k].inputs = bus->IOmap + offset;
        offset += bus->slave[k].Ibytes;
    }
    for (int k = 0; k < SLAVES; ++k) {
        tarnwick_vslave_config c;
        tarnwick_vslave_config_init(&c);
        c.slave_address = ADDRESSES[k];
        c.sra_crc = sra_crc;
        c.random_seed = (uint64_t)k + 1;
        c.safe_data_bytes = SAFE_BYTES[k];
        if (tarnwick_vslave_new(&c, &bus->device[k]) != TARNWICK_OK) return 0;
    }
    return 1;
}

/* ec_send_processdata + ec_receive_processdata: every slave takes its outputs and
 * answers into its inputs. */
static int fake_bus_exchange(fake_bus* bus) {
    for (int k = 0; k < SLAVES; ++k) {
        bus_slave* s = &bus->slave[k];
        size_t len = 0;
        if (tarnwick_vslave_advance_time(bus->device[k], CYCLE_US) != TARNWICK_OK ||
            tarnwick_vslave_cycle(bus->device[k], s->outputs, s->Obytes, s->inputs, s->Ibytes,
                                  &len) != TARNWICK_OK)
            return 0;
    }
    return 1;
}

static void fake_bus_close(fake_bus* bus) {
    for (int k = 0; k < SLAVES; ++k)
        tarnwick_vslave_free(&bus->device[k]);
}

/* The FSoE step of a cycle: the reply from the slave's inputs, the request into its
 * outputs (the master's request may be a byte shorter than the slave's area). */
static int safety_cycle(connection* c, uint64_t now_us) {
    size_t len = 0;
    return tarnwick_master_cycle(c->master, c->areas->inputs, c->areas->Ibytes, now_us,
                                 c->areas->outputs, c->areas->Obytes, &len, NULL) == TARNWICK_OK;
}

static int bus_cycle(fake_bus* bus, connection* c, uint64_t* now_us) {
    *now_us += CYCLE_US;
    if (!fake_bus_exchange(bus)) return 0;
    for (int k = 0; k < SLAVES; ++k)
        if (!safety_cycle(&c[k], *now_us)) return 0;
    return 1;
}

static int in_data(connection* c) {
    for (int k = 0; k < SLAVES; ++k) {
        tarnwick_state s = TARNWICK_STATE_RESET;
        if (tarnwick_master_get_state(c[k].master, &s) != TARNWICK_OK || s != TARNWICK_STATE_DATA)
            return 0;
    }
    return 1;
}

/* Commands STO on connection `on` only (-1: none); 1 when, within STO_CYCLES, every
 * slave and every master's inputs show exactly that. */
static int sto_only_on(fake_bus* bus, connection* c, int on, uint64_t* now_us) {
    for (int k = 0; k < SLAVES; ++k) {
        uint8_t out[TARNWICK_MAX_SAFE_DATA_BYTES] = {0};
        out[0] = k == on;
        if (tarnwick_master_set_outputs(c[k].master, out, c[k].safe_bytes) != TARNWICK_OK) return 0;
    }
    for (int cycle = 0; cycle < STO_CYCLES; ++cycle) {
        if (!bus_cycle(bus, c, now_us)) return 0;
        int seen = 0;
        for (int k = 0; k < SLAVES; ++k) {
            uint8_t in[TARNWICK_MAX_SAFE_DATA_BYTES];
            size_t len = 0;
            bool sto = false;
            if (tarnwick_master_get_inputs(c[k].master, in, sizeof in, &len) != TARNWICK_OK ||
                tarnwick_vslave_get_sto(bus->device[k], &sto) != TARNWICK_OK)
                return 0;
            seen += (in[0] & 1) == (k == on) && sto == (k == on);
        }
        if (seen == SLAVES) return 1;
    }
    return 0;
}

int main(void) {
    const uint16_t sra_words[] = {0x0001, 0x0064, 0x03E8};
    uint32_t sra_crc = 0;
    fake_bus bus;
    if (tarnwick_sra_crc(sra_words, 3, &sra_crc) != TARNWICK_OK || !fake_bus_open(&bus, sra_crc)) {
        fprintf(stderr, "bus set-up failed\n");
        return 1;
    }

    connection c[SLAVES];
    uint64_t now_us = 0;
    int ok = 1;
    for (int k = 0; k < SLAVES; ++k) {
        const tarnwick_app_parameter parameter = {sra_crc, 4, TARNWICK_TYPE_UINT32};
        tarnwick_master_config config;
        tarnwick_master_config_init(&config);
        config.slave_address = ADDRESSES[k];
        config.connection_id = (uint16_t)(k + 1);
        config.watchdog_ms = 100;
        config.parameters = &parameter;
        config.parameter_count = 1;
        config.output_bytes = config.input_bytes = SAFE_BYTES[k];
        config.session_id_seed = 0x5EED;
        c[k].areas = &bus.slave[k];
        c[k].safe_bytes = SAFE_BYTES[k];
        c[k].master = NULL;
        ok = ok && tarnwick_master_new(&config, &c[k].master) == TARNWICK_OK &&
             tarnwick_master_start(c[k].master, now_us) == TARNWICK_OK;
    }

    for (int cycle = 0; ok && cycle < WALK_LIMIT && !in_data(c); ++cycle)
        ok = bus_cycle(&bus, c, &now_us);
    int connected = ok && in_data(c);
    for (int k = 0; connected && k < SLAVES; ++k)
        ok = ok && tarnwick_master_set_fail_safe(c[k].master, false) == TARNWICK_OK;
    int first = connected && sto_only_on(&bus, c, 0, &now_us);
    int second = first && sto_only_on(&bus, c, 1, &now_us);
    int none = second && sto_only_on(&bus, c, -1, &now_us);
    printf("both in Data: %s; STO on the first only: %s; on the second only: %s; off: %s\n",
           connected ? "yes" : "no", first ? "yes" : "no", second ? "yes" : "no",
           none ? "yes" : "no");

    for (int k = 0; k < SLAVES; ++k)
        tarnwick_master_free(&c[k].master);
    fake_bus_close(&bus);
    return ok && none ? 0 : 1;
}
