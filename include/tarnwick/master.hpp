// tarnwick::Master: the master side of one FSoE connection, as a plain C++ object.
//
// Once per bus cycle the caller hands the slave's frame to set_reply() and sends
// request(). Time comes in from the caller, in microseconds of a monotonic clock:
// poll(now) delivers a watchdog expiry when one is due (or a front-end with its own
// timer calls on_watchdog_expired()). The safe outputs are a byte image the caller
// writes (outputs()), the safe inputs a byte image it reads (inputs()); they hold
// their fail-safe values whenever the connection drops them there.
//
// Misuse (a bad configuration, a setting changed while running) throws
// std::invalid_argument or std::logic_error. Protocol failures never throw: they are
// transitions, reports to the listener and Reset frames. The cycle (set_reply, then
// request) allocates nothing, throws nothing and makes no system call; it calls no
// hook unless one is installed.
//
// A Master is not thread-safe: one thread at a time may call it. Masters share
// nothing, so any number of them may run in one process, each on its own thread.
#pragma once

#include "tarnwick/diagnostics.hpp"
#include "tarnwick/dynamic_map.hpp"
#include "tarnwick/frame.hpp"
#include "tarnwick/transitions.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

namespace tarnwick {

using states::StateId;
using states::Transition;

class Master;
class FrameHistory;

// --- Configuration ---------------------------------------------------------------------

struct ApplicationParameter {
    uint32_t value = 0;  // the pattern sent, n_bytes wide
    uint8_t n_bytes = 0; // 1, 2 or 4
    // How the slave's echo is compared: as values of this type (True == 1, NaN never
    // equal); an unsigned type of n_bytes when not given.
    std::optional<data::DataType> type;
};

// The dynamic map holds 50 items in the Parameter state, three of them the
// communication parameters.
constexpr std::size_t MAX_APPLICATION_PARAMETERS = data::DynamicMap::CAPACITY - 3;

struct MasterConfig {
    uint16_t slave_address = 0;
    uint16_t connection_id = 0; // 0 is refused
    uint16_t watchdog_ms = 0;   // sent to the slave and timed here; 0 is refused
    std::vector<ApplicationParameter> parameters;
    unsigned output_bytes = 0; // safe-data bytes of the requests, at most 16
    unsigned input_bytes = 0;  // safe-data bytes of the replies, at most 16
    uint64_t session_id_seed = 0;
    std::array<uint8_t, frame::MAX_DATA_BYTES> fail_safe_inputs{};
    // Frames each way the history keeps (0: none, nothing recorded); at most
    // MAX_HISTORY_FRAMES. The storage is taken here, once.
    std::size_t history_frames = 0;
};

// --- Records ---------------------------------------------------------------------------

enum class SessionField : uint8_t {
    slave_address,
    session_id,
    error_id,
    connection_id,
    comm_parameter_size_bytes,
    watchdog_ms,
    app_parameter_size_bytes,
};
constexpr unsigned SESSION_FIELD_COUNT = 7;

// One side's connection data, each a 16-bit value the dynamic map can carry.
struct Session {
    static constexpr uint8_t FIELD_BYTES = 2; // every field is a UINT16
    std::array<uint32_t, SESSION_FIELD_COUNT> raw{};

    uint16_t get(SessionField f) const {
        return static_cast<uint16_t>(raw[static_cast<unsigned>(f)]);
    }
    void put(SessionField f, uint16_t v) { raw[static_cast<unsigned>(f)] = v; }
    data::DynamicItem item(SessionField f) {
        return {&raw[static_cast<unsigned>(f)], FIELD_BYTES, data::DataType::UINT16};
    }
};

// One side of the connection: the master's own (its request) or the slave as the
// master sees it (its last reply, the connection data received).
struct Node {
    frame::FrameRecord frame{};
    Session session;
    data::DynamicMap dynamic;
    std::vector<uint32_t> parameters; // the master's values, or the slave's echo
    std::optional<uint16_t> last_crc0_sent;
};

struct ConstBytes {
    const uint8_t* data;
    std::size_t size;
};
struct Bytes {
    uint8_t* data;
    std::size_t size;
};

// What set_reply() did with a reply.
enum class ReplyResult : uint8_t {
    Taken,      // processed: one transition, a new request
    Repeated,   // the same bytes as the last reply taken: ignored
    NotRunning, // before start() or after stop(): ignored
    TooLong,    // more than a 16-byte frame holds (over 36 bytes): refused, not remembered
};

// The events a state handles.
enum class Event : uint8_t { FrameReceived, WatchdogExpired, ResetConnection };

// --- Hooks -------------------------------------------------------------------------------

// Reports and state changes. Both run inside the event that caused them and may run
// another event (reset(), stop(), set_reply()): the outer event then ends there.
class MasterListener {
  public:
    virtual ~MasterListener() = default;
    // A transition reports a failure, before it is taken.
    virtual void on_error(Master&, Transition, const char* /*message*/) {}
    // The state changed; the request for it is built after this returns.
    virtual void on_state_change(Master&, StateId /*from*/, StateId /*to*/) {}
};

// The diagnostic trace: every transition taken and every CRC generated or checked.
class MasterTrace {
  public:
    virtual ~MasterTrace() = default;
    virtual void on_transition(const Master&, Transition) {}
    virtual void on_crc_generated(const frame::FrameRecord&) {}
    virtual void on_crc_checked(const uint16_t* /*calculated, 8 words*/, const frame::FrameRecord&,
                                bool /*ok*/) {}
};

// Replaces the Master's own generator of session ids.
class SessionIdSource {
  public:
    virtual ~SessionIdSource() = default;
    virtual uint16_t next_session_id() = 0;
};

// Replaces the byte images: a front-end with typed items packs and unpacks itself.
class ProcessData {
  public:
    virtual ~ProcessData() = default;
    virtual void pack_outputs(Master&, frame::FrameRecord& request) = 0;
    virtual void unpack_inputs(Master&, const frame::FrameRecord& reply) = 0;
    virtual void inputs_to_fail_safe(Master&) = 0;
};

// Replaces the dynamic maps of both nodes: a front-end whose maps hold its own items
// (typed objects that view the records) is told each item the Master maps, moves the
// bytes and compares the echo itself.
class ConnectionMaps {
  public:
    virtual ~ConnectionMaps() = default;
    virtual void clear(Master&, Node& n) = 0;
    // `item.raw` points into n's session or parameter records.
    virtual void add(Master&, Node& n, const data::DynamicItem& item) = 0;
    virtual void set_data_to_frame(Master&, Node& n, frame::FrameRecord& f,
                                   uint16_t valid_data_bytes) = 0;
    virtual void get_data_from_frame(Master&, Node& n, const frame::FrameRecord& f,
                                     uint16_t valid_data_bytes) = 0;
    virtual bool pending(const Master&, const Node& n) = 0;
    // The slave's echo, moved so far, equals the same items of the own map.
    virtual bool echo_matches(Master&) = 0;
};

// A front-end that times the watchdog itself: told whenever it is armed or
// disarmed, it calls on_watchdog_expired() when the time has passed.
class WatchdogTimer {
  public:
    virtual ~WatchdogTimer() = default;
    virtual void arm(Micros now) = 0;
    virtual void disarm() = 0;
};

// A front-end's own behaviour for the current state (an application's subclass of
// a built-in state, or a state of its own: StateId::Custom). Each default does what
// the built-in state does; the Master drops the override when the state changes
// (see set_state_override()). In the Custom state the Master builds the request
// as between the handshake's steps (the dynamic map, the session's connection id)
// and has no built-in operation: on_event() must return the next state itself.
class StateOverride {
  public:
    virtual ~StateOverride() = default;
    // The event's operation; returns the next state (Custom: the override's own).
    virtual StateId on_event(Master& m, Event e);
    // The CRC check the built-in decision uses.
    virtual bool check_received_crcs(Master& m);
    // A transition's action (after its report); returns the next state.
    virtual StateId run_transition(Master& m, Transition t);
    // The request's safe data and command in the Data state.
    virtual void map_data_frame(Master& m);
    // An event led to the state the Master is in: it is kept, and the override with
    // it. A front-end with several objects for one state may switch between them.
    virtual void on_stay(Master&) {}
};

// Each hook runs only when installed; null means the Master's own behaviour.
struct MasterHooks {
    MasterListener* listener = nullptr;
    MasterTrace* trace = nullptr;
    SessionIdSource* session_ids = nullptr;
    ProcessData* process_data = nullptr;
    WatchdogTimer* watchdog = nullptr;
    ConnectionMaps* maps = nullptr;
};

// --- The master ------------------------------------------------------------------------

class Master {
  public:
    // Throws std::invalid_argument with a text naming the refused setting.
    explicit Master(const MasterConfig& config);
    ~Master();
    Master(const Master&) = delete;
    Master& operator=(const Master&) = delete;

    void set_hooks(const MasterHooks& hooks) { hooks_ = hooks; }
    const MasterHooks& hooks() const { return hooks_; }

    // Events. start() sizes the frames and resets the connection (running or not);
    // stop() resets it, stops taking replies and disarms the watchdog; reset() goes
    // back to Reset, running or not.
    void start(Micros now);
    void stop(Micros now);
    void reset(Micros now);
    // The repeated-reply rule: the same bytes as the last reply taken are ignored,
    // unless the last request failed to build (then it is built again).
    ReplyResult set_reply(const uint8_t* data, std::size_t size, Micros now);
    // Delivers a watchdog expiry when one is due; true when it did.
    bool poll(Micros now);
    // An expiry timed by the front-end: taken at once, whatever the deadline.
    void on_watchdog_expired(Micros now);

    // The cycle's data.
    ConstBytes request() const { return {request_, request_size_}; }
    Bytes outputs() { return {outputs_.data(), output_bytes_}; }
    ConstBytes inputs() const { return {inputs_.data(), input_bytes_}; }
    // In the Data state: FailSafeData requests (on, as after every reset) or ProcessData.
    void set_fail_safe(bool active);

    StateId state() const { return state_; }
    bool running() const { return running_; }
    uint16_t initialization_data_bytes() const { return init_bytes_; }
    bool watchdog_armed() const { return watchdog_armed_; }
    Micros watchdog_deadline() const { return watchdog_deadline_; }
    const Node& own() const { return own_; }
    const Node& slave() const { return slave_; }
    ConstBytes last_reply() const { return {last_reply_, last_reply_size_}; }
    // The same bytes as the last reply taken: set_reply() would not process them.
    bool repeats_last_reply(const uint8_t* data, std::size_t size) const;

    // Settings, while stopped only (std::logic_error while running).
    void set_slave_address(uint16_t address);
    void set_data_sizes(unsigned output_bytes, unsigned input_bytes);
    void set_parameter_value(std::size_t index, uint32_t value);
    // Settings at any time: the image applies at the next drop to fail-safe.
    void set_fail_safe_inputs(const std::array<uint8_t, frame::MAX_DATA_BYTES>& image);
    // What the connection has seen (diagnostics.hpp); reset_diagnostics() starts over
    // (the counters and the frame history) from the time of the latest event. The
    // current state's time since its last change is now - state_since_us().
    const MasterDiagnostics& diagnostics() const { return diag_; }
    void reset_diagnostics();
    Micros state_since_us() const { return state_since_; }
    // The time of the latest event call (or set_time()).
    Micros now_us() const { return now_; }
    // The frame history (MasterConfig::history_frames each way): copies the frames held,
    // oldest first, into out (the newest `cap` when more are held); returns how many.
    // Safe inside a callback; history_size() tells how many are held.
    std::size_t history_capacity() const;
    std::size_t history_size() const;
    std::size_t copy_history(HistoryEntry* out, std::size_t cap) const;
    // Restarts the own session-id generator from a seed.
    void seed_session_ids(uint64_t seed);
    // The supervision period, from the next arming on (watchdog_ms unless set here).
    void set_watchdog_timeout(Micros timeout) { watchdog_timeout_ = timeout; }
    Micros watchdog_timeout() const { return watchdog_timeout_; }

    // --- Building blocks for a front-end's own states and diagnostics ---------------------
    // Those that arm the watchdog take the time of the latest event call.
    // The time the building blocks arm with, for a front-end calling them between events.
    void set_time(Micros now) { now_ = now; }
    // A fresh supervision period from now (the deadline poll() waits for), or none.
    void arm_watchdog();
    void disarm_watchdog();
    // The built-in operation of the current state for an event.
    StateId builtin_event(Event e);
    bool check_received_crcs();
    // Traces the transition and runs its action; returns the next state.
    StateId run_transition(Transition t);
    // Passes the transition's report, if it has one, to the listener.
    void report(Transition t);
    StateId reset_handler(uint16_t error_code);
    StateId reset_session();
    void map_frame(StateId s);
    // The Parameter state's request in the steps map_frame(Parameter) takes: the own
    // parameter sizes, the slave's echo records back to 0, then each node's items
    // (n is own_node() or slave_node()).
    void set_parameter_sizes();
    void clear_parameter_echo();
    void map_parameters(Node& n);
    void create_session_id();
    bool dynamic_map_pending() const;
    // Takes a state without a transition or a report (the override applies in it).
    void adopt_state(StateId s, StateOverride* override = nullptr);
    void set_state_override(StateOverride* override) { override_ = override; }
    // Switches state as an event does: a real change drops the override and is told
    // to the listener.
    void set_next_state(StateId next);
    // Builds and publishes the request for the current state now.
    void rebuild_request();
    // Takes a reply without the repeated-reply rule and without building the request;
    // false when a callback ran another event meanwhile. The reply must fit a frame.
    bool take_reply(const uint8_t* data, std::size_t size) { return process_reply(data, size); }
    frame::Command data_command() const { return data_command_; }
    void set_data_command(frame::Command c) { data_command_ = c; }
    bool second_session_frame_sent() const { return second_session_frame_sent_; }
    void set_second_session_frame_sent(bool v) { second_session_frame_sent_ = v; }
    bool reset_slave_sequence_after_frame() const { return reset_slave_sequence_; }
    void set_reset_slave_sequence_after_frame(bool v) { reset_slave_sequence_ = v; }
    bool request_stale() const { return request_stale_; }
    // The records themselves, for a front-end that lets its application edit them.
    Node& own_node() { return own_; }
    Node& slave_node() { return slave_; }

  private:
    friend class ReplyChecks;

    // Events (master_events.cpp)
    uint64_t begin_event() { return ++events_begun_; }
    bool superseded(uint64_t begun) const { return events_begun_ != begun; }
    void reset_event();
    void expiry_event();
    void conclude_event(uint64_t begun, StateId next);
    StateId run_event(Event e);
    bool process_reply(const uint8_t* data, std::size_t size);
    void take_reply_bytes(const uint8_t* data, std::size_t size);
    void build_request();
    void generate_request_crcs(frame::FrameRecord& req);

    // Transition actions (master_actions.cpp)
    StateId run_action(Transition t);
    Transition decide(Event e);
    void restart_frame_counters();
    void restart_reset_frames();
    StateId enter_session();
    void clear_dynamic_maps();
    void reset_map_frame();
    void session_map_frame();
    void connection_map_frame();
    void parameter_map_frame();
    void data_map_frame();
    // The dynamic maps, or the ConnectionMaps hook when installed.
    void map_clear(Node& n);
    void map_add(Node& n, const data::DynamicItem& item);
    void map_to_frame(Node& n, frame::FrameRecord& f);
    void map_from_frame(Node& n, const frame::FrameRecord& f);
    bool map_pending(const Node& n) const;
    bool echo_matches();
    void pack_outputs();
    void unpack_inputs();
    void inputs_to_fail_safe();

    void require_stopped(const char* what) const;
    uint16_t next_own_session_id();

    MasterHooks hooks_;
    StateOverride* override_ = nullptr;

    // Diagnostics (master_diagnostics.cpp)
    void expect_reply_length();
    void note_state_change(StateId from, StateId to);
    void note_reply(std::size_t size);
    void note_transition(Transition t);
    void note_error(Transition t, const char* text);
    void record_request();
    void record_reply(const uint8_t* data, std::size_t size, FrameOutcome outcome);
    MasterDiagnostics diag_;
    std::unique_ptr<FrameHistory> history_; // null: no history kept
    HistoryEntry* reply_awaiting_transition_ = nullptr;
    Transition last_transition_{};
    bool has_last_transition_ = false;
    Micros state_since_ = 0;
    Micros published_at_ = 0;
    std::size_t expected_reply_ = 0, expected_padded_reply_ = 0;
    uint64_t cycles_since_publish_ = 0;
    bool awaiting_answer_ = false;
    bool been_in_data_ = false;

    Node own_;
    Node slave_;
    std::vector<uint8_t> parameter_widths_;
    std::vector<data::DataType> parameter_types_;

    StateId state_ = StateId::Reset;
    frame::Command data_command_ = frame::Command::FAILSAFE_DATA;
    unsigned output_bytes_;
    unsigned input_bytes_;
    uint16_t init_bytes_ = 0;
    bool running_ = false;
    bool second_session_frame_sent_ = false;
    bool reset_slave_sequence_ = false;
    bool request_stale_ = false;

    Micros now_ = 0;
    Micros watchdog_timeout_;
    Micros watchdog_deadline_ = 0;
    bool watchdog_armed_ = false;

    uint64_t events_begun_ = 0;
    uint64_t session_id_state_ = 0;

    std::array<uint8_t, frame::MAX_DATA_BYTES> outputs_{};
    std::array<uint8_t, frame::MAX_DATA_BYTES> inputs_{};
    std::array<uint8_t, frame::MAX_DATA_BYTES> fail_safe_inputs_{};
    uint8_t request_[frame::MAX_FRAME_BYTES] = {};
    std::size_t request_size_ = 0;
    // A 36th byte is still read as part of a 16-byte frame (lengths round up to words).
    uint8_t last_reply_[frame::MAX_FRAME_BYTES + 1] = {};
    std::size_t last_reply_size_ = 0;
};

// The FSoE error code of a failure reported to MasterListener::on_error(m, t, ...):
// for a reset by the slave (the *_RESET1 transitions) the code the slave sent,
// otherwise the code this master sends in its Reset frames. Valid during the call.
inline uint16_t reported_error_code(const Master& m, Transition t) {
    const states::TransitionInfo& info = states::info(t);
    return info.report == states::Report::ResetBySlave
               ? m.slave().session.get(SessionField::error_id)
               : static_cast<uint16_t>(info.error);
}

} // namespace tarnwick
