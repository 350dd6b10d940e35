// The master's C API: a tarnwick_master owns a tarnwick::Master and forwards each call
// after checking its arguments. No exception leaves a function: each is mapped to a
// status.
#include "core/capi/master_handle.hpp"
#include "core/capi/status_text.hpp"
#include "core/frame/sra_crc.hpp"
#include "core/master/reports.hpp"
#include "tarnwick/master.hpp"
#include "tarnwick/tarnwick.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <new>
#include <stdexcept>

using tarnwick::Master;
using tarnwick::StateId;
using tarnwick::Transition;
namespace states = tarnwick::states;

// The C names follow the library's tables: same order, same count.
#define TARNWICK_CHECK_TRANSITION(name, state, kind, code, report, next)                           \
    static_assert(TARNWICK_##name == static_cast<int>(Transition::name), #name);
TARNWICK_TRANSITIONS(TARNWICK_CHECK_TRANSITION)
#undef TARNWICK_CHECK_TRANSITION
static_assert(TARNWICK_TRANSITION_COUNT == states::transition_count(), "one name per transition");
static_assert(TARNWICK_STATE_COUNT == states::STATE_COUNT, "one name per state");
static_assert(TARNWICK_STATE_DATA == static_cast<int>(StateId::Data), "state numbers");
static_assert(TARNWICK_MAX_SAFE_DATA_BYTES == tarnwick::frame::MAX_DATA_BYTES, "data bytes");
static_assert(TARNWICK_MAX_FRAME_BYTES == tarnwick::frame::MAX_FRAME_BYTES, "frame bytes");
static_assert(TARNWICK_MAX_APP_PARAMETERS == tarnwick::MAX_APPLICATION_PARAMETERS,
              "application parameters");
static_assert(TARNWICK_TYPE_INT32 == static_cast<int>(tarnwick::data::DataType::INT32),
              "data type codes");
static_assert(TARNWICK_REPLY_TOO_LONG == static_cast<int>(tarnwick::ReplyResult::TooLong),
              "reply results");
// NONE is the C layer's own: no frame arrived, so the Master never saw one.
static_assert(TARNWICK_REPLY_NONE == TARNWICK_REPLY_TOO_LONG + 1, "reply results");

namespace {

// Counts the callbacks running, so that a callback cannot destroy the master whose
// event is still on the stack.
class CallbackScope {
  public:
    explicit CallbackScope(unsigned& depth) : depth_(depth) { ++depth_; }
    ~CallbackScope() { --depth_; }
    CallbackScope(const CallbackScope&) = delete;
    CallbackScope& operator=(const CallbackScope&) = delete;

  private:
    unsigned& depth_;
};

} // namespace

namespace tarnwick::capi {

void Listener::on_error(Master& m, Transition t, const char* message) {
    const tarnwick_master_callbacks cb = handle_->callbacks;
    if (!cb.on_error) return;
    tarnwick_error_report report;
    report.transition = static_cast<int>(t);
    report.state = static_cast<int>(m.state());
    report.error_code = tarnwick::reported_error_code(m, t);
    report.message = message;
    CallbackScope scope(handle_->callback_depth);
    cb.on_error(handle_, &report, cb.context);
}

void Listener::on_state_change(Master&, StateId from, StateId to) {
    const tarnwick_master_callbacks cb = handle_->callbacks;
    if (!cb.on_state_change) return;
    CallbackScope scope(handle_->callback_depth);
    cb.on_state_change(handle_, static_cast<int>(from), static_cast<int>(to), cb.context);
}

} // namespace tarnwick::capi

namespace {

// Runs f, mapping what the C++ layer throws to a status.
template <typename F> tarnwick_status guarded(F&& f) noexcept {
    try {
        return f();
    } catch (const std::bad_alloc&) {
        return TARNWICK_E_NO_MEMORY;
    } catch (const std::invalid_argument&) {
        return TARNWICK_E_INVALID;
    } catch (const std::out_of_range&) {
        return TARNWICK_E_INVALID;
    } catch (...) {
        return TARNWICK_E_INTERNAL;
    }
}

// Long enough for the texts of the checks made here.
constexpr std::size_t REASON_BYTES = 96;

// Writes why a config was refused into the caller's text (cap bytes), cut to fit.
void explain(char* text, size_t cap, const char* why) {
    if (text && cap > 0) std::snprintf(text, cap, "%s", why);
}

// Checks what the Master cannot see (the C struct itself) and converts the rest, which
// the Master's constructor checks.
tarnwick_status convert(const tarnwick_master_config* config, tarnwick::MasterConfig& out,
                        char* text, size_t cap) {
    char why[REASON_BYTES];
    if (!config) {
        explain(text, cap, "config is NULL");
        return TARNWICK_E_NULL;
    }
    const tarnwick_master_config& c = *config;
    if (c.struct_size != sizeof(tarnwick_master_config)) {
        std::snprintf(why, sizeof why, "struct_size %lu is not this library's %lu",
                      static_cast<unsigned long>(c.struct_size),
                      static_cast<unsigned long>(sizeof(tarnwick_master_config)));
        explain(text, cap, why);
        return TARNWICK_E_VERSION;
    }
    // A frame carries at least one safe-data byte each way: 0 would give a frame
    // without a CRC, which the Master builds but no slave can check.
    if (c.output_bytes == 0 || c.input_bytes == 0) {
        std::snprintf(why, sizeof why, "%s must be 1 to %u (got 0)",
                      c.output_bytes == 0 ? "output_bytes" : "input_bytes",
                      static_cast<unsigned>(TARNWICK_MAX_SAFE_DATA_BYTES));
        explain(text, cap, why);
        return TARNWICK_E_INVALID;
    }
    if (c.parameter_count > 0 && !c.parameters) {
        explain(text, cap, "parameters is NULL but parameter_count is not 0");
        return TARNWICK_E_NULL;
    }
    if (c.parameter_count > tarnwick::MAX_APPLICATION_PARAMETERS) {
        std::snprintf(why, sizeof why, "At most %lu application parameters (got %lu)",
                      static_cast<unsigned long>(tarnwick::MAX_APPLICATION_PARAMETERS),
                      static_cast<unsigned long>(c.parameter_count));
        explain(text, cap, why);
        return TARNWICK_E_INVALID;
    }
    out.slave_address = c.slave_address;
    out.connection_id = c.connection_id;
    out.watchdog_ms = c.watchdog_ms;
    out.output_bytes = c.output_bytes;
    out.input_bytes = c.input_bytes;
    out.session_id_seed = c.session_id_seed;
    out.history_frames = c.history_frames;
    std::memcpy(out.fail_safe_inputs.data(), c.fail_safe_inputs, sizeof c.fail_safe_inputs);
    for (std::size_t i = 0; i < c.parameter_count; ++i) {
        const tarnwick_app_parameter& p = c.parameters[i];
        tarnwick::ApplicationParameter q;
        q.value = p.value;
        q.n_bytes = p.n_bytes;
        if (p.type != TARNWICK_TYPE_UNSIGNED) {
            if (!tarnwick::data::is_code(static_cast<unsigned>(p.type))) {
                std::snprintf(why, sizeof why, "Application parameter %lu: unknown type %d",
                              static_cast<unsigned long>(i), p.type);
                explain(text, cap, why);
                return TARNWICK_E_INVALID;
            }
            q.type = static_cast<tarnwick::data::DataType>(p.type);
        }
        out.parameters.push_back(q);
    }
    explain(text, cap, "");
    return TARNWICK_OK;
}

// Builds the master (into *out), or only checks that it can be built (out NULL).
tarnwick_status make_master(const tarnwick_master_config* config, tarnwick_master** out, char* text,
                            size_t cap) noexcept {
    try {
        tarnwick::MasterConfig c;
        tarnwick_status s = convert(config, c, text, cap);
        if (s != TARNWICK_OK) return s;
        if (!out) {
            Master check(c);
            return TARNWICK_OK;
        }
        tarnwick_master* m = new tarnwick_master(c);
        m->set_callbacks(config->callbacks);
        *out = m;
        return TARNWICK_OK;
    } catch (const std::invalid_argument& e) {
        explain(text, cap, e.what()); // the Master names the refused setting
        return TARNWICK_E_INVALID;
    } catch (const std::bad_alloc&) {
        explain(text, cap, "out of memory");
        return TARNWICK_E_NO_MEMORY;
    } catch (...) {
        explain(text, cap, "internal error");
        return TARNWICK_E_INTERNAL;
    }
}

} // namespace

extern "C" {

// --- Names ---------------------------------------------------------------------------

const char* tarnwick_strerror(tarnwick_status status) {
    return status_text(status);
}

const char* tarnwick_version(void) {
    return TARNWICK_VERSION_STRING;
}

const char* tarnwick_state_name(tarnwick_state state) {
    static const char* const NAMES[] = {"Reset", "Session", "Connection", "Parameter", "Data"};
    return state >= 0 && state < TARNWICK_STATE_COUNT ? NAMES[state] : "unknown state";
}

const char* tarnwick_transition_name(tarnwick_transition t) {
    return t >= 0 && t < TARNWICK_TRANSITION_COUNT ? states::info(static_cast<Transition>(t)).name
                                                   : "unknown transition";
}

const char* tarnwick_reply_result_name(tarnwick_reply_result r) {
    static const char* const NAMES[] = {"TAKEN", "REPEATED", "NOT_RUNNING", "TOO_LONG", "NONE"};
    return r >= 0 && r <= TARNWICK_REPLY_NONE ? NAMES[r] : "unknown reply result";
}

const char* tarnwick_error_code_name(uint32_t code) {
    // Every name once, built at the first call (the library names the codes).
    struct Names {
        char text[states::LAST_DEVICE_ERROR + 1][states::ERROR_NAME_BYTES];
        bool known[states::LAST_DEVICE_ERROR + 1];
        Names() {
            for (unsigned k = 0; k <= states::LAST_DEVICE_ERROR; ++k)
                known[k] = states::error_code_name(static_cast<uint16_t>(k), text[k]);
        }
    };
    static const Names names;
    return code <= states::LAST_DEVICE_ERROR && names.known[code] ? names.text[code]
                                                                  : "UNKNOWN_ERROR";
}

tarnwick_status tarnwick_sra_crc(const uint16_t* words, size_t count, uint32_t* crc) {
    if ((!words && count > 0) || !crc) return TARNWICK_E_NULL;
    *crc = tarnwick::frame::sra_crc(count ? words : nullptr, count);
    return TARNWICK_OK;
}

// --- Life cycle ----------------------------------------------------------------------

tarnwick_status tarnwick_master_new(const tarnwick_master_config* config, tarnwick_master** out) {
    if (!out) return TARNWICK_E_NULL;
    *out = nullptr;
    return make_master(config, out, nullptr, 0);
}

tarnwick_status tarnwick_master_config_check(const tarnwick_master_config* config, char* text,
                                             size_t cap) {
    if (!text && cap > 0) return TARNWICK_E_NULL;
    return make_master(config, nullptr, text, cap);
}

tarnwick_status tarnwick_master_free(tarnwick_master** handle) {
    if (!handle) return TARNWICK_E_NULL;
    if (!*handle) return TARNWICK_OK;
    if ((*handle)->callback_depth > 0) return TARNWICK_E_IN_CALLBACK;
    delete *handle;
    *handle = nullptr;
    return TARNWICK_OK;
}

tarnwick_status tarnwick_master_set_callbacks(tarnwick_master* m,
                                              const tarnwick_master_callbacks* cb) {
    if (!m) return TARNWICK_E_NULL;
    m->set_callbacks(cb ? *cb : tarnwick_master_callbacks{});
    return TARNWICK_OK;
}

tarnwick_status tarnwick_master_start(tarnwick_master* m, uint64_t now_us) {
    if (!m) return TARNWICK_E_NULL;
    return guarded([&]() -> tarnwick_status {
        m->master.start(now_us);
        return TARNWICK_OK;
    });
}

tarnwick_status tarnwick_master_stop(tarnwick_master* m, uint64_t now_us) {
    if (!m) return TARNWICK_E_NULL;
    return guarded([&]() -> tarnwick_status {
        m->master.stop(now_us);
        return TARNWICK_OK;
    });
}

tarnwick_status tarnwick_master_reset(tarnwick_master* m, uint64_t now_us) {
    if (!m) return TARNWICK_E_NULL;
    return guarded([&]() -> tarnwick_status {
        m->master.reset(now_us);
        return TARNWICK_OK;
    });
}

// --- The cycle -----------------------------------------------------------------------

tarnwick_status tarnwick_master_set_reply(tarnwick_master* m, const uint8_t* reply, size_t len,
                                          uint64_t now_us, tarnwick_reply_result* result) {
    if (!m || (!reply && len > 0)) return TARNWICK_E_NULL;
    // Length 0 is no frame at all (a bus cycle without a valid frame), as a NULL reply
    // is for tarnwick_master_cycle: the Master does not see it.
    if (len == 0) {
        if (result) *result = TARNWICK_REPLY_NONE;
        return TARNWICK_OK;
    }
    return guarded([&]() -> tarnwick_status {
        tarnwick::ReplyResult r = m->master.set_reply(reply, len, now_us);
        if (result) *result = static_cast<int>(r);
        return TARNWICK_OK;
    });
}

tarnwick_status tarnwick_master_get_request(const tarnwick_master* m, uint8_t* buf, size_t cap,
                                            size_t* len) {
    // A NULL buffer of capacity 0 asks for the length only.
    if (!m || (!buf && cap > 0) || !len) return TARNWICK_E_NULL;
    tarnwick::ConstBytes request = m->master.request();
    if (request.size == 0) return TARNWICK_E_NOT_STARTED;
    *len = request.size;
    if (cap < request.size) return TARNWICK_E_BUFFER_TOO_SMALL;
    std::memcpy(buf, request.data, request.size);
    return TARNWICK_OK;
}

tarnwick_status tarnwick_master_cycle(tarnwick_master* m, const uint8_t* reply, size_t reply_len,
                                      uint64_t now_us, uint8_t* request, size_t cap,
                                      size_t* request_len, tarnwick_reply_result* result) {
    if (!m || (!request && cap > 0) || !request_len) return TARNWICK_E_NULL;
    // Every refusal before anything is done. Once started, the request keeps its
    // length (the configured output size fixes it, and no call while running changes
    // that), so the buffer checked here holds the request built below.
    const std::size_t needed = m->master.request().size;
    if (needed == 0) return TARNWICK_E_NOT_STARTED;
    if (cap < needed) {
        *request_len = needed;
        return TARNWICK_E_BUFFER_TOO_SMALL;
    }
    return guarded([&]() -> tarnwick_status {
        m->master.poll(now_us);
        tarnwick_reply_result r = TARNWICK_REPLY_NONE;
        if (reply && reply_len > 0)
            r = static_cast<int>(m->master.set_reply(reply, reply_len, now_us));
        if (result) *result = r;
        return tarnwick_master_get_request(m, request, cap, request_len);
    });
}

tarnwick_status tarnwick_master_poll(tarnwick_master* m, uint64_t now_us, bool* expired) {
    if (!m) return TARNWICK_E_NULL;
    return guarded([&]() -> tarnwick_status {
        bool e = m->master.poll(now_us);
        if (expired) *expired = e;
        return TARNWICK_OK;
    });
}

// --- Process data --------------------------------------------------------------------

tarnwick_status tarnwick_master_set_outputs(tarnwick_master* m, const uint8_t* data, size_t len) {
    if (!m || (!data && len > 0)) return TARNWICK_E_NULL;
    tarnwick::Bytes outputs = m->master.outputs();
    if (len != outputs.size) return TARNWICK_E_SIZE;
    if (len) std::memcpy(outputs.data, data, len);
    return TARNWICK_OK;
}

tarnwick_status tarnwick_master_get_inputs(const tarnwick_master* m, uint8_t* buf, size_t cap,
                                           size_t* len) {
    // A NULL buffer of capacity 0 asks for the length only.
    if (!m || (!buf && cap > 0) || !len) return TARNWICK_E_NULL;
    tarnwick::ConstBytes inputs = m->master.inputs();
    *len = inputs.size;
    if (cap < inputs.size) return TARNWICK_E_BUFFER_TOO_SMALL;
    if (inputs.size) std::memcpy(buf, inputs.data, inputs.size);
    return TARNWICK_OK;
}

tarnwick_status tarnwick_master_set_fail_safe(tarnwick_master* m, bool active) {
    if (!m) return TARNWICK_E_NULL;
    m->master.set_fail_safe(active);
    return TARNWICK_OK;
}

tarnwick_status tarnwick_master_set_fail_safe_inputs(tarnwick_master* m, const uint8_t* data,
                                                     size_t len) {
    if (!m || (!data && len > 0)) return TARNWICK_E_NULL;
    if (len != m->master.inputs().size) return TARNWICK_E_SIZE;
    std::array<uint8_t, tarnwick::frame::MAX_DATA_BYTES> image{};
    if (len) std::memcpy(image.data(), data, len);
    m->master.set_fail_safe_inputs(image);
    return TARNWICK_OK;
}

// --- State and settings --------------------------------------------------------------

tarnwick_status tarnwick_master_get_state(const tarnwick_master* m, tarnwick_state* state) {
    if (!m || !state) return TARNWICK_E_NULL;
    *state = static_cast<int>(m->master.state());
    return TARNWICK_OK;
}

tarnwick_status tarnwick_master_is_running(const tarnwick_master* m, bool* running) {
    if (!m || !running) return TARNWICK_E_NULL;
    *running = m->master.running();
    return TARNWICK_OK;
}

tarnwick_status tarnwick_master_get_watchdog(const tarnwick_master* m, bool* armed,
                                             uint64_t* deadline_us) {
    if (!m || !armed || !deadline_us) return TARNWICK_E_NULL;
    *armed = m->master.watchdog_armed();
    *deadline_us = m->master.watchdog_deadline();
    return TARNWICK_OK;
}

tarnwick_status tarnwick_master_set_slave_address(tarnwick_master* m, uint16_t address) {
    if (!m) return TARNWICK_E_NULL;
    if (m->master.running()) return TARNWICK_E_RUNNING;
    return guarded([&]() -> tarnwick_status {
        m->master.set_slave_address(address);
        return TARNWICK_OK;
    });
}

tarnwick_status tarnwick_master_set_parameter(tarnwick_master* m, size_t index, uint32_t value) {
    if (!m) return TARNWICK_E_NULL;
    // An index past the end is a bad argument whenever it is made, running or not.
    if (index >= m->master.own().parameters.size()) return TARNWICK_E_INVALID;
    if (m->master.running()) return TARNWICK_E_RUNNING;
    return guarded([&]() -> tarnwick_status {
        m->master.set_parameter_value(index, value);
        return TARNWICK_OK;
    });
}

} // extern "C"
