// The master's connection records (Session, Node, ApplicationParameter), its state
// classes and the MasterHandler, as the binding files share them.
#pragma once

#include "tarnwick/data_binding.hpp"
#include "tarnwick/event_lock.hpp"
#include "tarnwick/frame_binding.hpp"
#include "tarnwick/master.hpp"
#include "tarnwick/transitions.hpp"
#include "tarnwick/watchdog_core.hpp"

#include <array>
#include <chrono>
#include <memory>
#include <optional>
#include <string>

namespace tarnwick::py {

// --- Connection records -------------------------------------------------------------

using tarnwick::SESSION_FIELD_COUNT;
using tarnwick::SessionField;

// The connection data of one node, each value a 16-bit dynamically mappable item
// viewing the library's Session record (the handler's: its Master's).
struct PySession {
    std::shared_ptr<tarnwick::Session> core;
    std::array<nb::object, SESSION_FIELD_COUNT> items;
    std::array<PyDynamicItem*, SESSION_FIELD_COUNT> raw{};

    PySession(std::shared_ptr<tarnwick::Session> core, uint16_t slave_address,
              uint16_t connection_id, uint16_t watchdog_ms);
    nb::handle item(SessionField f) const { return items[static_cast<unsigned>(f)]; }
    uint16_t get(SessionField f) const { return core->get(f); }
    void put(SessionField f, uint16_t v) { core->put(f, v); }
};

// One side of the connection: its frame, session data, maps and parameters. The
// frame record, the session values and the last CRC_0 sent live in the library's
// Node record (the handler's: its Master's own or slave node).
struct PyNode {
    std::shared_ptr<tarnwick::Node> core;
    nb::object frame;                  // FSOEFrame
    nb::object session;                // Session
    nb::object dictionary_map;         // DictionaryMap
    nb::object dynamic_map;            // FSOEDynamicMap
    nb::object application_parameters; // list

    frame::FrameRecord* rec = nullptr;
    PySession* sess = nullptr;
    PyDictionaryMap* map = nullptr;
    PyDynamicMap* dyn = nullptr;

    std::optional<uint16_t>& last_crc0_sent() { return core->last_crc0_sent; }
    void start();
    void stop();
};

// Numbers checked by the caller; the node's records are `core`'s.
struct NodeArgs {
    uint16_t slave_address;
    uint16_t connection_id;
    uint16_t watchdog_ms;
    nb::handle application_parameters; // list
    nb::handle dictionary;             // Dictionary
    nb::handle item_types_accepted;    // set
};
nb::object new_node(const NodeArgs& args, std::shared_ptr<tarnwick::Node> core);

struct PyApplicationParameter : PyDynamicItem {
    nb::object name;
    nb::object owner; // a weak reference to the owning handler once bound
    bool bound = false;

    PyApplicationParameter(nb::handle initial_value, nb::handle data_type)
        : PyDynamicItem(initial_value, data_type) {}
};

// --- Handler --------------------------------------------------------------------------

struct PyMasterHandler;

// The library master's hooks the handler implements (handler_hooks.cpp).
class HandlerHooks final : public MasterListener,
                           public MasterTrace,
                           public SessionIdSource,
                           public ProcessData,
                           public WatchdogTimer,
                           public ConnectionMaps {
  public:
    explicit HandlerHooks(PyMasterHandler& h) : h_(h) {}
    HandlerHooks(const HandlerHooks&) = delete;
    HandlerHooks& operator=(const HandlerHooks&) = delete;
    void install(Master& m);

    void on_error(Master&, Transition t, const char* message) override;
    void on_state_change(Master&, StateId from, StateId to) override;
    void on_transition(const Master&, Transition t) override;
    void on_crc_generated(const frame::FrameRecord& f) override;
    void on_crc_checked(const uint16_t* calculated, const frame::FrameRecord& f, bool ok) override;
    uint16_t next_session_id() override;
    // The typed items of the dictionary maps.
    void pack_outputs(Master&, frame::FrameRecord& request) override;
    void unpack_inputs(Master&, const frame::FrameRecord& reply) override;
    void inputs_to_fail_safe(Master&) override;
    // The Watchdog thread.
    void arm(Micros now) override;
    void disarm() override;
    // The nodes' FSOEDynamicMap objects, holding the Python items.
    void clear(Master&, Node& n) override;
    void add(Master&, Node& n, const data::DynamicItem& item) override;
    void set_data_to_frame(Master&, Node& n, frame::FrameRecord& f,
                           uint16_t valid_data_bytes) override;
    void get_data_from_frame(Master&, Node& n, const frame::FrameRecord& f,
                             uint16_t valid_data_bytes) override;
    bool pending(const Master&, const Node& n) override;
    bool echo_matches(Master&) override;

  private:
    PyNode& node_of(const Node& n) const;
    PyMasterHandler& h_;
};
void init_handler_hooks();

// The Master's override while the current state is an application's subclass of a
// built-in state: its Python methods (event operations, CRC check, actions, the Data
// state's map_frame) decide, and the class an operation returns is kept for the
// change of state (HandlerHooks::on_state_change).
class SubclassOverride final : public StateOverride {
  public:
    explicit SubclassOverride(PyMasterHandler& h) : h_(h) {}
    SubclassOverride(const SubclassOverride&) = delete;
    SubclassOverride& operator=(const SubclassOverride&) = delete;
    StateId on_event(Master& m, Event e) override;
    bool check_received_crcs(Master& m) override;
    StateId run_transition(Master& m, Transition t) override;
    void map_data_frame(Master&) override;
    void on_stay(Master&) override;

  private:
    PyMasterHandler& h_;
};

struct PyMasterHandler {
    nb::object dictionary;
    nb::object master_obj;
    nb::object slave_obj;
    nb::object state;    // the current State instance
    nb::object watchdog; // the Watchdog thread, or the ClockWatchdog with a clock
    nb::object clock;    // the application's clock (seconds); null: the thread times
    nb::object report_error_callback;
    nb::object state_change_callback;
    nb::object current_request;   // bytes
    bool request_pending = false; // published, its bytes object not made yet
    // The class the current state's operation returned, for the change it leads to.
    nb::object next_class;

    // The library's master: the records of both nodes live in it.
    std::shared_ptr<tarnwick::Master> core;
    HandlerHooks hooks{*this};
    SubclassOverride subclass_override{*this};
    PyNode* master = nullptr;
    PyNode* slave = nullptr;
    PyDictionary* dict = nullptr;
    std::shared_ptr<handler::WatchdogCore> watchdog_core; // keeps `wd` valid
    handler::WatchdogCore* wd = nullptr;

    // Whether the current state is exactly a built-in class (then the Master runs it
    // in C++ without Python look-ups).
    bool state_exact = true;

    bool deleted = false;
    // The watchdog thread ended with an exception from a callback: the handler has
    // dropped to fail-safe and refuses to run on without supervision.
    bool supervision_lost = false;

    // Inside an event, a callback's exception waits here until the event is complete
    // and then leaves the public call (CallbackErrors in handler.cpp).
    nb::object callback_error; // the exception instance, or null
    bool deferring_callback_errors = false;

    handler::EventLock events;
    PyObject* weakrefs = nullptr;

    // A handler the application dropped without delete() ends its watchdog thread
    // (the thread holds the handler only weakly). Never joins: this may run on the
    // watchdog thread itself, from a garbage-collection pass.
    ~PyMasterHandler() {
        if (watchdog_core) watchdog_core->stop();
    }
};

// How often an expiry waiting for the event lock checks whether its watchdog stopped.
constexpr std::chrono::milliseconds EXPIRY_LOCK_POLL{10};

// Holds the event lock for one event. The lock is tried with the interpreter lock
// held (the uncontended case) and otherwise waited for without it.
class EventScope {
  public:
    EventScope(PyMasterHandler& h, bool for_expiry) : h_(h) {
        held_ = h.events.try_acquire() || acquire_unlocked(for_expiry);
    }
    ~EventScope() {
        if (held_) h_.events.release();
    }
    bool held() const { return held_; }
    EventScope(const EventScope&) = delete;
    EventScope& operator=(const EventScope&) = delete;

  private:
    bool acquire_unlocked(bool for_expiry) {
        handler::WatchdogCore* wd = h_.wd;
        nb::gil_scoped_release unlocked;
        // An expiry gives up once its watchdog is stopping (delete() may be waiting
        // for the watchdog thread while holding the lock).
        return h_.events.acquire([&] { return for_expiry && (!wd || wd->stop_requested()); },
                                 EXPIRY_LOCK_POLL);
    }

    PyMasterHandler& h_;
    bool held_ = false;
};

PyMasterHandler& handler_of_state(nb::handle state);
// The bridge to Python's logging (log_bridge.cpp): each call only when it is on.
bool logging_bridge_on();
void bridge_transition(PyMasterHandler& h, Transition t);
void bridge_error(PyMasterHandler& h, Transition t, const char* message, uint16_t code);
void bridge_frame(PyMasterHandler& h, bool from_master, ConstBytes frame);
// diagnostics(), reset_diagnostics(), history() (handler_diagnostics.cpp).
void bind_handler_diagnostics(nb::class_<PyMasterHandler>& cls);

// The state class object of a built-in state.
nb::handle state_class(states::StateId s);
// Which built-in class a state instance belongs to (Custom: none), and whether exactly.
states::StateId classify_state(nb::handle state, bool& exact);
// The built-in state a class stands for (itself or a subclass of it); Custom for a
// class deriving from none of them.
states::StateId state_kind_of_class(nb::handle cls);
// The name of the state's Python method for an event or a transition's action.
const char* event_method_name(Event e);
std::string action_method_name(states::Transition t);
// The class the last state operation returned when it stands for `s`, else the
// built-in class of `s` (in a custom state, the current instance's class); the kept
// class is dropped either way.
nb::object returned_class(PyMasterHandler& h, states::StateId s);
// The listener's change of state: the new instance, then the application's callback.
void enter_state(PyMasterHandler& h, states::StateId to);
// Takes a state instance: the Master follows its class.
void adopt_state(PyMasterHandler& h, nb::object instance);
// `_set_next_state`: keeps an instance of next_class, else enters a new one.
void set_next_state(PyMasterHandler& h, nb::handle next_class, nb::handle self);

// The application's clock read as the Master's time: whole microseconds (ValueError
// for a negative or non-finite reading).
Micros clock_micros(const nb::object& clock);
// A clock a simulation advances by hand; read without a Python call.
struct PyManualClock {
    Micros now_us = 0;
};
// A ManualClock, or null for another object; its step on (false for another object).
PyManualClock* manual_clock(PyObject* obj);
bool advance_manual_clock(PyObject* clock, Micros us);
// The watchdog object of a handler made with clock= (it holds the handler weakly).
nb::object make_clock_watchdog(nb::handle handler);

// Handler operations the states use.
void report_error(PyMasterHandler& h, nb::handle transition_name, nb::handle message);
// The interned name of a transition, as the callbacks and the trace receive it.
nb::handle transition_name(states::Transition t);

} // namespace tarnwick::py
