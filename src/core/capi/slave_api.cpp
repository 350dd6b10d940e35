// The virtual slave's C API: a tarnwick_vslave owns a tarnwick::VirtualSlave and
// forwards each call after checking its arguments. No exception leaves a function.
#include "core/capi/status_text.hpp"
#include "core/slave/dictionary/fsoe_dict.hpp"
#include "tarnwick/version.h"
#include "tarnwick/virtual_slave.h"
#include "tarnwick/virtual_slave.hpp"

#include <cstring>
#include <new>
#include <stdexcept>

using tarnwick::VirtualSlave;

static_assert(TARNWICK_VSLAVE_MAX_REQUEST_BYTES == VirtualSlave::REQUEST_BUFFER_BYTES,
              "request buffer");
static_assert(TARNWICK_VSLAVE_MAX_REPLY_BYTES == 2 * VirtualSlave::REPLY_AREA_WORDS, "reply area");
static_assert(TARNWICK_STATE_DATA == static_cast<int>(VirtualSlave::State::Data), "states");

struct tarnwick_vslave {
    explicit tarnwick_vslave(const VirtualSlave::Settings& s) : slave(s) {}
    VirtualSlave slave;
};

namespace {

const uint8_t NO_BYTES[1] = {0};
// The largest object: the 8-word string.
constexpr std::size_t OBJECT_BYTES_MAX = 16;

// The reply's length: the frame's words, never more than the reply area holds.
std::size_t reply_bytes(const VirtualSlave& s) {
    unsigned words = s.frame_words();
    return 2 * std::size_t{words < VirtualSlave::REPLY_AREA_WORDS ? words
                                                                  : VirtualSlave::REPLY_AREA_WORDS};
}

// The bytes a write to `key` must bring: the size read_object reports for it. 0 for
// what the dictionary refuses anyway (no such object, not writable) and for strings,
// which it measures itself.
std::size_t write_bytes(uint16_t key) {
    const brisel::fsoe_dict_object* obj = brisel::fsoe_dict_lookup(key);
    if (!obj || (obj->access != brisel::FSOE_ACCESS_WO && obj->access != brisel::FSOE_ACCESS_RW))
        return 0;
    switch (obj->type) {
    case brisel::FSOE_TYPE_BOOLEAN:
        return 1;
    case brisel::FSOE_TYPE_UNSIGNED8:
    case brisel::FSOE_TYPE_UNSIGNED16:
    case brisel::FSOE_TYPE_INTEGER8:
    case brisel::FSOE_TYPE_INTEGER16:
        return 2;
    case brisel::FSOE_TYPE_UNSIGNED32:
    case brisel::FSOE_TYPE_INTEGER32:
    case brisel::FSOE_TYPE_REAL32:
        return 4;
    }
    return 0;
}

} // namespace

extern "C" {

const char* tarnwick_vslave_strerror(tarnwick_status status) {
    return status_text(status);
}

const char* tarnwick_vslave_version(void) {
    return TARNWICK_VERSION_STRING;
}

tarnwick_status tarnwick_vslave_new(const tarnwick_vslave_config* config, tarnwick_vslave** out) {
    if (out) *out = nullptr;
    if (!config || !out) return TARNWICK_E_NULL;
    if (config->struct_size != sizeof(tarnwick_vslave_config)) return TARNWICK_E_VERSION;
    unsigned size = config->safe_data_bytes;
    if (size != 1 && size != 2 && size != 4) return TARNWICK_E_INVALID;
    VirtualSlave::Settings s;
    s.slave_address = config->slave_address;
    s.sra_crc = config->sra_crc;
    s.random_seed = config->random_seed;
    s.time_us = config->start_time_us;
    s.safe_data_bytes = size;
    try {
        *out = new tarnwick_vslave(s);
        return TARNWICK_OK;
    } catch (const std::bad_alloc&) {
        return TARNWICK_E_NO_MEMORY;
    } catch (const std::invalid_argument&) {
        return TARNWICK_E_INVALID;
    } catch (...) {
        return TARNWICK_E_INTERNAL;
    }
}

tarnwick_status tarnwick_vslave_free(tarnwick_vslave** handle) {
    if (!handle) return TARNWICK_E_NULL;
    delete *handle;
    *handle = nullptr;
    return TARNWICK_OK;
}

tarnwick_status tarnwick_vslave_stop(tarnwick_vslave* s) {
    if (!s) return TARNWICK_E_NULL;
    s->slave.stop();
    return TARNWICK_OK;
}

tarnwick_status tarnwick_vslave_start(tarnwick_vslave* s) {
    if (!s) return TARNWICK_E_NULL;
    // The standard map always starts; one rewritten through the map's objects while
    // stopped may not.
    return s->slave.start() ? TARNWICK_OK : TARNWICK_E_INVALID;
}

tarnwick_status tarnwick_vslave_set_request(tarnwick_vslave* s, const uint8_t* data, size_t len) {
    if (!s || (!data && len > 0)) return TARNWICK_E_NULL;
    return s->slave.set_request(len ? data : NO_BYTES, len) ? TARNWICK_OK : TARNWICK_E_SIZE;
}

tarnwick_status tarnwick_vslave_process(tarnwick_vslave* s) {
    if (!s) return TARNWICK_E_NULL;
    s->slave.process();
    return TARNWICK_OK;
}

tarnwick_status tarnwick_vslave_get_reply(const tarnwick_vslave* s, uint8_t* buf, size_t cap,
                                          size_t* len) {
    // A NULL buffer of capacity 0 asks for the length only.
    if (!s || (!buf && cap > 0) || !len) return TARNWICK_E_NULL;
    *len = reply_bytes(s->slave);
    if (cap < *len) return TARNWICK_E_BUFFER_TOO_SMALL;
    s->slave.reply(buf, static_cast<unsigned>(*len / 2));
    return TARNWICK_OK;
}

tarnwick_status tarnwick_vslave_cycle(tarnwick_vslave* s, const uint8_t* request,
                                      size_t request_len, uint8_t* reply, size_t cap,
                                      size_t* reply_len) {
    if (!s || (!reply && cap > 0) || !reply_len) return TARNWICK_E_NULL;
    // The reply's room is checked first, so a refused call has taken nothing.
    if (cap < reply_bytes(s->slave)) {
        *reply_len = reply_bytes(s->slave);
        return TARNWICK_E_BUFFER_TOO_SMALL;
    }
    if (request) {
        tarnwick_status st = tarnwick_vslave_set_request(s, request, request_len);
        if (st != TARNWICK_OK) return st;
    }
    s->slave.process();
    return tarnwick_vslave_get_reply(s, reply, cap, reply_len);
}

tarnwick_status tarnwick_vslave_set_time(tarnwick_vslave* s, uint32_t us) {
    if (!s) return TARNWICK_E_NULL;
    s->slave.set_time(us);
    return TARNWICK_OK;
}

tarnwick_status tarnwick_vslave_advance_time(tarnwick_vslave* s, uint32_t us) {
    if (!s) return TARNWICK_E_NULL;
    s->slave.advance_time(us);
    return TARNWICK_OK;
}

tarnwick_status tarnwick_vslave_get_time(const tarnwick_vslave* s, uint32_t* us) {
    if (!s || !us) return TARNWICK_E_NULL;
    *us = s->slave.time();
    return TARNWICK_OK;
}

tarnwick_status tarnwick_vslave_get_state(const tarnwick_vslave* s, tarnwick_state* state) {
    if (!s || !state) return TARNWICK_E_NULL;
    *state = static_cast<int>(s->slave.state());
    return TARNWICK_OK;
}

tarnwick_status tarnwick_vslave_get_sto(const tarnwick_vslave* s, bool* sto) {
    if (!s || !sto) return TARNWICK_E_NULL;
    *sto = s->slave.sto_status();
    return TARNWICK_OK;
}

tarnwick_status tarnwick_vslave_set_sra_crc(tarnwick_vslave* s, uint32_t crc) {
    if (!s) return TARNWICK_E_NULL;
    s->slave.set_sra_crc(crc);
    return TARNWICK_OK;
}

tarnwick_status tarnwick_vslave_read_object(const tarnwick_vslave* s, uint16_t key, uint8_t* buf,
                                            size_t cap, size_t* size, uint32_t* abort_code) {
    if (!s || (!buf && cap > 0) || !size) return TARNWICK_E_NULL;
    // Read whole into room for the largest object, so a short buffer is refused
    // instead of receiving a cut value.
    uint8_t value[OBJECT_BYTES_MAX] = {};
    uint16_t n = 0;
    uint32_t code = s->slave.read_object(key, value, sizeof value, &n);
    if (abort_code) *abort_code = code;
    if (code != 0) return TARNWICK_E_OBJECT;
    *size = n;
    if (cap < n) return TARNWICK_E_BUFFER_TOO_SMALL;
    std::memcpy(buf, value, n);
    return TARNWICK_OK;
}

tarnwick_status tarnwick_vslave_write_object(tarnwick_vslave* s, uint16_t key, const uint8_t* data,
                                             size_t len, uint32_t* abort_code) {
    if (!s || (!data && len > 0)) return TARNWICK_E_NULL;
    // The dictionary takes the leading bytes of a longer write (its Python functions
    // rely on that); here a write is the object's size exactly, and any other size is
    // refused as the dictionary refuses a short one.
    const std::size_t expected = write_bytes(key);
    if (expected != 0 && len != expected) {
        if (abort_code) *abort_code = brisel::FSOE_ABORT_SIZE_TOO_SMALL;
        return TARNWICK_E_OBJECT;
    }
    uint32_t code = s->slave.write_object(key, len ? data : NO_BYTES, len);
    if (abort_code) *abort_code = code;
    return code == 0 ? TARNWICK_OK : TARNWICK_E_OBJECT;
}

} // extern "C"
