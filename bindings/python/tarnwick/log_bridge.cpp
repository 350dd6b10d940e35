// The bridge to Python's logging: with tarnwick.enable_logging() every handler sends
// its transitions, errors and (at DEBUG) frames to the logger "tarnwick", each record
// carrying connection_id and slave_address. Off, it costs one flag test per event.
//
// A record is made only when the logger is enabled for its level, and a logging
// failure never cuts an event short: it goes to sys.unraisablehook like an exception
// in a destructor.
#include "tarnwick/handler_binding.hpp"

#include <atomic>

namespace tarnwick::py {

namespace {

constexpr const char* LOGGER_NAME = "tarnwick";
// The logging module's levels (fixed by its documentation).
constexpr int DEBUG = 10;
constexpr int INFO = 20;
constexpr int WARNING = 30;

// Read on every event, from the application's thread and the watchdog thread alike.
std::atomic<bool> enabled{false};
PyObject* logger = nullptr; // logging.getLogger("tarnwick"), kept for the process

bool level_enabled(int level) {
    nb::object on = nb::handle(logger).attr("isEnabledFor")(level);
    return PyObject_IsTrue(on.ptr()) == 1;
}

// Makes and logs the record only when the logger takes `level`; a failure of the
// logging system (the record's making included) is reported, never raised.
template <typename Log> void emit(int level, Log&& log) {
    try {
        if (level_enabled(level)) log();
    } catch (nb::python_error& e) {
        e.discard_as_unraisable(nb::handle(logger));
    }
}

// One record: `format` starts with the connection id's "0x%04X"; `extra` gets the
// connection's attributes beside the event's own.
template <typename... Args>
void log_record(PyMasterHandler& h, int level, nb::dict extra, const char* format, Args&&... args) {
    const Session& s = h.core->own().session;
    uint16_t connection_id = s.get(SessionField::connection_id);
    extra["connection_id"] = connection_id;
    extra["slave_address"] = s.get(SessionField::slave_address);
    nb::handle(logger).attr("log")(level, format, connection_id, std::forward<Args>(args)...,
                                   nb::arg("extra") = extra);
}

// A transition that keeps the state without a report is a cycle's routine: DEBUG.
int transition_level(Transition t) {
    const states::TransitionInfo& info = states::info(t);
    bool routine = info.report == states::Report::None && info.next == info.state;
    return routine ? DEBUG : INFO;
}

} // namespace

bool logging_bridge_on() {
    return enabled.load(std::memory_order_relaxed);
}

void bridge_transition(PyMasterHandler& h, Transition t) {
    int level = transition_level(t);
    emit(level, [&] {
        nb::dict extra;
        extra["transition"] = transition_name(t);
        log_record(h, level, extra, "connection 0x%04X: %s", transition_name(t));
    });
}

void bridge_error(PyMasterHandler& h, Transition t, const char* message, uint16_t code) {
    emit(WARNING, [&] {
        nb::dict extra;
        extra["transition"] = transition_name(t);
        extra["error_code"] = code;
        log_record(h, WARNING, extra, "connection 0x%04X: %s: %s", transition_name(t),
                   nb::str(message));
    });
}

void bridge_frame(PyMasterHandler& h, bool from_master, ConstBytes frame) {
    emit(DEBUG, [&] {
        nb::bytes data(reinterpret_cast<const char*>(frame.data), frame.size);
        nb::dict extra;
        extra["frame"] = data;
        extra["from_master"] = from_master;
        log_record(h, DEBUG, extra, "connection 0x%04X: %s %s",
                   nb::str(from_master ? "request" : "reply"), data.attr("hex")(" "));
    });
}

void init_log_bridge(nb::module_& m) {
    m.def(
        "enable_logging",
        [](bool on) {
            if (on && !logger)
                logger =
                    nb::module_::import_("logging").attr("getLogger")(LOGGER_NAME).release().ptr();
            enabled.store(on, std::memory_order_relaxed);
        },
        nb::arg("enabled") = true,
        "Send every handler's transitions (INFO; those that keep the state without a "
        "report at DEBUG), errors (WARNING) and frames (DEBUG) to the logger 'tarnwick', "
        "each record with the attributes connection_id and slave_address (and transition, "
        "error_code, frame, from_master where they apply). enable_logging(False) stops it. "
        "The TARNWICK_LOGGING trace on standard output is separate.");
    m.def(
        "logging_enabled", [] { return enabled.load(std::memory_order_relaxed); },
        "Whether enable_logging() has switched the bridge to Python's logging on");
}

} // namespace tarnwick::py
