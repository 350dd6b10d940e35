// A MasterHandler's clock mode: ManualClock, a clock a simulation advances by hand
// (read without a Python call), and ClockWatchdog, the watchdog of a handler made
// with clock=. No thread: the handler's Master keeps the supervision period on the
// application's clock, and poll() delivers an expiry when that clock has passed its
// deadline. ClockWatchdog has the Watchdog's operations, so states and an
// application's subclasses call it alike.
#include "tarnwick/handler_binding.hpp"
#include "tarnwick/watchdog_binding.hpp"

#include <cmath>

namespace tarnwick::py {

namespace {

constexpr double MICROS_PER_S = 1e6;
// Past this many microseconds a double no longer converts to the Master's clock.
constexpr double MAX_MICROS = 18446744073709549568.0; // the largest double below 2^64

PyTypeObject* manual_clock_type = nullptr;

constexpr const char* CLOCK_READING = "clock() must return a finite number of seconds, at least 0";

// `what` names the value in the error: a clock reading, a start or a step.
Micros micros_of_seconds(double s, const char* what = CLOCK_READING) {
    double us = std::nearbyint(s * MICROS_PER_S);
    if (!(us >= 0.0 && us <= MAX_MICROS)) // NaN fails both
        throw nb::value_error(what);
    return static_cast<Micros>(us);
}

void advance_clock(PyManualClock& c, Micros us) {
    if (us > ~Micros{0} - c.now_us) throw nb::value_error("The clock would pass 2**64 us");
    c.now_us += us;
}

struct PyClockWatchdog {
    nb::object handler; // a weak reference: the handler holds this object
};

// Runs `op` on the handler this watchdog times, holding it for the call; nothing
// once the handler is gone.
template <typename Op> auto with_handler(PyClockWatchdog& w, Op&& op) {
    nb::object h = w.handler();
    return op(h.is_none() ? nullptr : nb::inst_ptr<PyMasterHandler>(h));
}

// A fresh period from the application's clock, armed or re-armed.
void arm_now(PyMasterHandler& h) {
    h.core->set_time(clock_micros(h.clock));
    h.core->arm_watchdog();
}

void activate(PyClockWatchdog& w) {
    with_handler(w, [](PyMasterHandler* h) {
        if (h && !h->core->watchdog_armed()) arm_now(*h);
    });
}

void reset(PyClockWatchdog& w) {
    with_handler(w, [](PyMasterHandler* h) {
        if (h && h->core->watchdog_armed()) arm_now(*h);
    });
}

void activate_and_reset(PyClockWatchdog& w) {
    with_handler(w, [](PyMasterHandler* h) {
        if (h) arm_now(*h);
    });
}

void deactivate(PyClockWatchdog& w) {
    with_handler(w, [](PyMasterHandler* h) {
        if (h) h->core->disarm_watchdog();
    });
}

bool active(PyClockWatchdog& w) {
    return with_handler(w, [](PyMasterHandler* h) { return h && h->core->watchdog_armed(); });
}

nb::object deadline(PyClockWatchdog& w) {
    return with_handler(w, [](PyMasterHandler* h) -> nb::object {
        if (!h || !h->core->watchdog_armed()) return nb::none();
        return nb::float_(static_cast<double>(h->core->watchdog_deadline()) / MICROS_PER_S);
    });
}

PyObject* clock_watchdog_type = nullptr;

} // namespace

Micros clock_micros(const nb::object& clock) {
    if (Py_TYPE(clock.ptr()) == manual_clock_type)
        return nb::inst_ptr<PyManualClock>(clock)->now_us;
    nb::object value = clock();
    double s = PyFloat_AsDouble(value.ptr());
    if (s == -1.0 && PyErr_Occurred()) raise_pending();
    return micros_of_seconds(s);
}

PyManualClock* manual_clock(PyObject* obj) {
    if (Py_TYPE(obj) != manual_clock_type) return nullptr;
    return nb::inst_ptr<PyManualClock>(obj);
}

bool advance_manual_clock(PyObject* clock, Micros us) {
    PyManualClock* c = manual_clock(clock);
    if (!c) return false;
    advance_clock(*c, us);
    return true;
}

nb::object make_clock_watchdog(nb::handle handler) {
    return nb::handle(clock_watchdog_type)(nb::steal(PyWeakref_NewRef(handler.ptr(), nullptr)));
}

void bind_manual_clock(nb::module_& m) {
    nb::class_<PyManualClock> cls(
        m, "ManualClock",
        "A clock advanced by hand, for MasterHandler(clock=...): calling it returns seconds");
    cls.def(
        "__init__",
        [](PyManualClock* c, double start_s) {
            new (c) PyManualClock{micros_of_seconds(
                start_s, "start_s must be a finite number of seconds, at least 0")};
        },
        nb::arg("start_s") = 0.0, "Starts at start_s seconds (at least 0)");
    cls.def(
        "__call__", [](PyManualClock& c) { return static_cast<double>(c.now_us) / MICROS_PER_S; },
        "The time in seconds");
    cls.def_prop_ro(
        "now_us", [](PyManualClock& c) { return c.now_us; }, "The time in whole microseconds");
    cls.def(
        "advance",
        [](PyManualClock& c, double s) {
            advance_clock(c, micros_of_seconds(s, "A clock never goes back: advance() takes a "
                                                  "finite step of at least 0 seconds"));
        },
        nb::arg("seconds"), "Step on by a number of seconds (at least 0)");
    cls.def(
        "advance_us", [](PyManualClock& c, Micros us) { advance_clock(c, us); }, nb::arg("us"),
        "Step on by whole microseconds");
    manual_clock_type = reinterpret_cast<PyTypeObject*>(cls.ptr());
}

void init_clock_watchdog(nb::module_& m) {
    bind_manual_clock(m);
    nb::class_<PyClockWatchdog> cls(
        m, "ClockWatchdog",
        "The watchdog of a MasterHandler made with clock=: no thread; the period runs on "
        "the application's clock and MasterHandler.poll() delivers an expiry");
    cls.def(
        "__init__",
        [](PyClockWatchdog* w, nb::handle ref) {
            if (!PyWeakref_CheckRef(ref.ptr()))
                throw nb::type_error("ClockWatchdog is made by MasterHandler(clock=...)");
            new (w) PyClockWatchdog{nb::borrow(ref)};
        },
        nb::arg("handler"), nb::sig("def __init__(self, handler: object) -> None"),
        "Made by MasterHandler(clock=...)");
    cls.def("activate", &activate, "Start a period from now unless one runs");
    cls.def("reset", &reset, "Restart the running period from now");
    cls.def("activate_and_reset", &activate_and_reset, "Start a fresh period from now");
    cls.def("deactivate", &deactivate, "Stop supervising");
    cls.def("stop", [](PyClockWatchdog&) {}, "Nothing to end: there is no thread");
    cls.def("is_alive", [](PyClockWatchdog&) { return false; }, "False: there is no thread");
    cls.def_prop_ro("active", &active, "Supervising: a period runs");
    cls.def_prop_ro("deadline", &deadline, nb::sig("def deadline(self) -> float | None"),
                    "When the running period expires, in seconds of the application's clock; "
                    "None while not supervising");
    clock_watchdog_type = cls.ptr();
}

} // namespace tarnwick::py
