// MasterHandler: the public master object over the library's tarnwick::Master, which
// runs the protocol (events, requests, the repeated-reply rule); the handler converts,
// publishes each new request as one bytes object and keeps the Python-only parts.
//
// Every event (reply, reset, start, stop, watchdog expiry) runs under the handler's
// event lock, so the application's thread and the watchdog thread never interleave
// inside the Master, even while a Python callback runs. The Master's hooks
// (handler_hooks.cpp) run inside these events.
//
// A callback that raises never cuts an event short: its exception is kept until the
// event is complete (state switched, request published) and then leaves the public
// call (CallbackErrors below). Events may nest: a callback may call reset() or stop(),
// which run their own event and raise their own callbacks' exceptions.
#include "common/master_api.h"
#include "tarnwick/handler_binding.hpp"
#include "tarnwick/watchdog_binding.hpp"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <vector>

namespace tarnwick::py {

namespace {

using states::StateId;

constexpr double MS_PER_S = 1000.0;
constexpr double MICROS_PER_S = 1e6;
constexpr const char* NO_CLOCK_MESSAGE =
    "poll() needs a handler made with a clock (MasterHandler(..., clock=...))";
constexpr const char* DELETED_MESSAGE = "The master handler has been deleted";
constexpr const char* UNSUPERVISED_MESSAGE =
    "The watchdog thread of the master has ended with an exception";

// A master without its watchdog must not run: after delete(), and after the
// watchdog thread died of a callback's exception.
void refuse_if_unsupervised(const PyMasterHandler& h) {
    const char* message = h.deleted            ? DELETED_MESSAGE
                          : h.supervision_lost ? UNSUPERVISED_MESSAGE
                                               : nullptr;
    if (!message) return;
    PyErr_SetString(state().tarnwick_exception, message);
    raise_pending();
}

// --- Callback exceptions ---------------------------------------------------------------------

// Deep enough for any real chain; a longer (or cyclic) chain is cut there, never walked forever.
constexpr int MAX_CONTEXT_DEPTH = 64;

// The exception a python_error holds, normalised, its traceback attached.
nb::object exception_of(nb::python_error& e) {
    e.restore();
    return take_pending_exception();
}

PyObject* python_type_of(nb::exception_type t) {
    switch (t) {
    case nb::exception_type::value_error:
        return PyExc_ValueError;
    case nb::exception_type::type_error:
        return PyExc_TypeError;
    case nb::exception_type::key_error:
        return PyExc_KeyError;
    case nb::exception_type::index_error:
        return PyExc_IndexError;
    case nb::exception_type::attribute_error:
        return PyExc_AttributeError;
    default:
        return PyExc_RuntimeError;
    }
}

nb::object exception_of(const nb::builtin_exception& e) {
    PyErr_SetString(python_type_of(e.type()), e.what());
    nb::python_error raised;
    return exception_of(raised);
}

// Puts `earlier` at the end of `later`'s __context__ chain, as Python chains an
// exception raised while another is handled, so both show in the traceback.
void chain_context(nb::handle later, nb::handle earlier) {
    nb::handle tail = later;
    for (int depth = 0; depth < MAX_CONTEXT_DEPTH; ++depth) {
        if (tail.is(earlier)) return;
        nb::object next = nb::steal(PyException_GetContext(tail.ptr()));
        if (!next.is_valid()) break;
        tail = next; // kept alive by the chain it belongs to
    }
    PyException_SetContext(tail.ptr(), earlier.inc_ref().ptr());
}

void keep_callback_error(PyMasterHandler& h, nb::object exception) {
    if (h.callback_error.is_valid()) chain_context(exception, h.callback_error);
    h.callback_error = std::move(exception);
}

// One public call's callback exceptions. While it exists, a callback's exception is
// kept instead of raised; run() completes the event and then raises it (an error of
// the event itself carries the callbacks' exceptions as its context). A nested call
// keeps its own, and the outer call's kept exception waits until it is done.
class CallbackErrors {
  public:
    explicit CallbackErrors(PyMasterHandler& h)
        : h_(h), outer_(std::move(h.callback_error)),
          outer_deferring_(h.deferring_callback_errors) {
        h.callback_error = nb::object();
        h.deferring_callback_errors = true;
    }
    ~CallbackErrors() {
        h_.callback_error = std::move(outer_);
        h_.deferring_callback_errors = outer_deferring_;
    }
    CallbackErrors(const CallbackErrors&) = delete;
    CallbackErrors& operator=(const CallbackErrors&) = delete;

    template <typename Event> void run(Event&& event) {
        try {
            event();
        } catch (nb::python_error& e) {
            keep_callback_error(h_, exception_of(e));
        } catch (nb::builtin_exception& e) {
            if (!h_.callback_error.is_valid()) throw;
            keep_callback_error(h_, exception_of(e));
        }
        nb::object raised = std::move(h_.callback_error);
        h_.callback_error = nb::object();
        if (raised.is_valid()) raise_exception(raised);
    }

  private:
    PyMasterHandler& h_;
    nb::object outer_;
    bool outer_deferring_;
};

// Calls an application callback; inside an event its exception waits for the event's end.
template <typename... Args>
void call_callback(PyMasterHandler& h, const nb::object& callback, Args&&... args) {
    if (callback.is_none()) return;
    nb::object keep = callback; // the callback may replace itself
    if (!h.deferring_callback_errors) {
        keep(std::forward<Args>(args)...);
        return;
    }
    try {
        keep(std::forward<Args>(args)...);
    } catch (nb::python_error& e) {
        keep_callback_error(h, exception_of(e));
    }
}

nb::handle self_of(PyMasterHandler& h) {
    return nb::find(&h);
}

// The time of an event: the application's clock, else the monotonic clock (the clock
// time.monotonic() reads; read without a system call). Without a clock the Watchdog
// thread times the connection: the time only dates the diagnostics and the history.
Micros event_time(PyMasterHandler& h) {
    if (h.clock.is_valid()) return clock_micros(h.clock);
    auto since_boot = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<Micros>(
        std::chrono::duration_cast<std::chrono::microseconds>(since_boot).count());
}

} // namespace

// --- State switching -------------------------------------------------------------------------

// The Master takes the built-in state the instance belongs to (Custom for one
// deriving from none), with the override for a subclass.
void adopt_state(PyMasterHandler& h, nb::object instance) {
    StateId kind = classify_state(instance, h.state_exact);
    h.state = std::move(instance);
    StateOverride* override = h.state_exact ? nullptr : &h.subclass_override;
    h.core->adopt_state(kind, override);
}

// `_set_next_state`: a change of built-in state goes through the Master (which tells
// the listener); another class of the same state is taken here.
void set_next_state(PyMasterHandler& h, nb::handle next_class, nb::handle self) {
    int same = PyObject_IsInstance(h.state.ptr(), next_class.ptr());
    if (same < 0) raise_pending();
    if (same) return;
    StateId next = state_kind_of_class(next_class);
    if (next != h.core->state()) {
        h.next_class = nb::borrow(next_class);
        h.core->set_next_state(next);
        return;
    }
    adopt_state(h, next_class(nb::arg("context") = self));
    call_callback(h, h.state_change_callback, next_class);
}

namespace {

// --- Requests and replies -----------------------------------------------------------------------

// The request the Master built last, as the bytes the application sends.
nb::object request_bytes(const PyMasterHandler& h) {
    ConstBytes r = h.core->request();
    return nb::bytes(reinterpret_cast<const char*>(r.data), r.size);
}

// The Master's request is published after each event; its bytes object is made when
// first asked for (a native loop that reads the request through the C-level
// interface needs none), and stays the same object until the next event.
void publish_request(PyMasterHandler& h) {
    h.request_pending = true;
    if (logging_bridge_on()) bridge_frame(h, true, h.core->request());
}

const nb::object& published_request(PyMasterHandler& h) {
    if (h.request_pending) {
        h.current_request = request_bytes(h);
        h.request_pending = false;
    }
    return h.current_request;
}

// Builds the request for the current state (the Master keeps it stale if building
// raises) and publishes it.
void recalculate_request(PyMasterHandler& h) {
    h.core->rebuild_request();
    publish_request(h);
}

ConstBytes reply_bytes(nb::handle reply) {
    return {reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(reply.ptr())),
            static_cast<std::size_t>(PyBytes_GET_SIZE(reply.ptr()))};
}

// One delivery of a reply: a repeated one rebuilds only a stale request.
void deliver_reply(PyMasterHandler& h, ConstBytes reply, Micros now) {
    if (logging_bridge_on()) bridge_frame(h, false, reply);
    bool stale = h.core->request_stale();
    ReplyResult r = h.core->set_reply(reply.data, reply.size, now);
    if (r == ReplyResult::TooLong) check_size_fits(frame::size_for_length(reply.size));
    if (r == ReplyResult::Taken || (r == ReplyResult::Repeated && stale)) publish_request(h);
}

// --- Public operations --------------------------------------------------------------------------

void handler_start(PyMasterHandler& h) {
    refuse_if_unsupervised(h);
    EventScope scope(h, false);
    Micros now = event_time(h);
    CallbackErrors(h).run([&] {
        h.master->start();
        h.slave->start();
        // The maps are locked while running, so the sizes change only when stopped.
        if (!h.core->running())
            h.core->set_data_sizes(h.master->rec->safe_data_size, h.slave->rec->safe_data_size);
        h.core->start(now);
        publish_request(h);
    });
}

void handler_stop(PyMasterHandler& h) {
    if (!h.core->running()) return;
    EventScope scope(h, false);
    Micros now = event_time(h);
    CallbackErrors(h).run([&] {
        // Also after delete(): the inputs fall to their fail-safe values whatever the
        // order of the application's clean-up (an ended watchdog ignores its commands).
        h.core->stop(now);
        publish_request(h);
        h.master->stop();
        h.slave->stop();
    });
}

void handler_reset(PyMasterHandler& h) {
    refuse_if_unsupervised(h);
    EventScope scope(h, false);
    Micros now = event_time(h);
    CallbackErrors(h).run([&] {
        h.core->reset(now);
        publish_request(h);
    });
}

void take_reply(PyMasterHandler& h, ConstBytes reply) {
    if (!h.core->running()) return;
    EventScope scope(h, false);
    refuse_if_unsupervised(h);
    Micros now = event_time(h);
    // The Master compares with the last reply once; a repeated one runs no callback.
    CallbackErrors(h).run([&] { deliver_reply(h, reply, now); });
}

void handler_set_reply(PyMasterHandler& h, nb::handle data) {
    require_exact(data, &PyBytes_Type, "data");
    take_reply(h, reply_bytes(data));
}

// With a clock: an expiry when the clock has passed the deadline (one per call,
// however late), under the rules of the application's other events.
bool handler_poll(PyMasterHandler& h) {
    if (!h.clock.is_valid()) {
        PyErr_SetString(state().tarnwick_exception, NO_CLOCK_MESSAGE);
        raise_pending();
    }
    if (!h.core->running()) return false;
    refuse_if_unsupervised(h);
    EventScope scope(h, false);
    Micros now = clock_micros(h.clock);
    bool expired = false;
    CallbackErrors(h).run([&] {
        expired = h.core->poll(now);
        if (expired) publish_request(h);
    });
    return expired;
}

// An exception from a callback is about to end the watchdog thread, possibly before
// the expiry's transition was taken. Without supervision the connection must not
// carry safe data on: the inputs fall to fail-safe and the master sends Reset frames
// with WD_EXPIRED, without further callbacks. Secondary errors are dropped so the
// callback's own exception is the one the thread ends with.
void drop_to_fail_safe_unsupervised(PyMasterHandler& h) {
    h.supervision_lost = true;
    try {
        // The expiry's event completed before its exception left it: a Reset state it
        // reached already publishes its Reset frames (built once: the error code
        // travels in the first of them).
        bool in_reset = h.core->state() == StateId::Reset && h.state_exact;
        if (!in_reset) {
            h.core->reset_handler(static_cast<uint16_t>(states::ErrorCode::WD_EXPIRED));
            adopt_state(h, state_class(StateId::Reset)(nb::arg("context") = self_of(h)));
        }
        if (!in_reset || h.core->request_stale()) recalculate_request(h);
    } catch (nb::python_error&) {
    }
}

// The watchdog's callback. On the watchdog thread an expiry that lost the race for
// the lock to a reply or reset that re-armed the watchdog is dropped: it is stale.
void handler_watchdog_expired(PyMasterHandler& h) {
    bool from_watchdog = h.wd && h.wd->on_watchdog_thread();
    EventScope scope(h, from_watchdog);
    if (!scope.held() || h.deleted) return;
    if (from_watchdog && !h.wd->expiry_still_due()) return;
    try {
        CallbackErrors(h).run([&] {
            h.core->on_watchdog_expired(event_time(h));
            publish_request(h);
        });
    } catch (...) {
        // On the watchdog thread the exception ends the thread, and supervision with it.
        if (from_watchdog) drop_to_fail_safe_unsupervised(h);
        throw;
    }
}

void handler_delete(PyMasterHandler& h) {
    h.deleted = true;
    if (h.watchdog.is_valid() && truthy(h.watchdog.attr("is_alive")())) h.watchdog.attr("stop")();
}

// --- Construction -------------------------------------------------------------------------------

uint16_t watchdog_ms_of(double timeout_s) {
    // Truncation toward zero, then the usual 16-bit range check.
    double ms = std::trunc(timeout_s * MS_PER_S);
    return to_u16(nb::int_(nb::steal(PyLong_FromDouble(ms))));
}

// A callback must be callable when given: a wrong one would otherwise surface only
// at the first error, possibly on the watchdog thread, ending its supervision.
void require_callable_or_none(nb::handle callback, const char* arg) {
    if (callback.is_none() || PyCallable_Check(callback.ptr())) return;
    PyErr_Format(PyExc_TypeError,
                 "Argument '%.200s' has incorrect type (expected callable or None, got %.200s)",
                 arg, type_display_name(Py_TYPE(callback.ptr())).c_str());
    raise_pending();
}

// The watchdog's callback holds the handler weakly: a handler the application drops
// stays collectable while its watchdog thread runs (the thread holds its callback).
nb::object weak_expiry_callback(nb::handle self) {
    nb::weakref handler_ref(self);
    return nb::cpp_function(
        [handler_ref]() {
            nb::object target = handler_ref();
            if (!target.is_none()) handler_watchdog_expired(nb::cast<PyMasterHandler&>(target));
        },
        nb::name("_watchdog_expired_event"));
}

// "tarnwick-watchdog-0x0001": thread dumps tell the connections apart.
nb::str watchdog_thread_name(uint16_t connection_id) {
    char name[32];
    std::snprintf(name, sizeof name, "tarnwick-watchdog-0x%04X",
                  static_cast<unsigned>(connection_id));
    return nb::str(name);
}

nb::object item_class_set(std::initializer_list<PyTypeObject*> classes) {
    nb::object s = nb::steal(PySet_New(nullptr));
    for (PyTypeObject* c : classes)
        PySet_Add(s.ptr(), reinterpret_cast<PyObject*>(c));
    return s;
}

nb::list slave_parameters(nb::handle master_parameters) {
    nb::list items;
    nb::handle item_cls(reinterpret_cast<PyObject*>(data_classes().dynamic_item));
    for (nb::handle p : master_parameters)
        items.append(item_cls(0, p.attr("data_type")));
    return items;
}

// The library master's description of the application parameters. More than it
// takes stay Python's own (entering Parameter then refuses them, as it always did).
std::vector<tarnwick::ApplicationParameter> core_parameters(nb::handle parameters) {
    std::vector<tarnwick::ApplicationParameter> out;
    if (static_cast<std::size_t>(nb::len(parameters)) > MAX_APPLICATION_PARAMETERS) return out;
    for (nb::handle p : parameters) {
        const PyDynamicItem& item = *nb::inst_ptr<PyApplicationParameter>(p);
        out.push_back({item.raw(), static_cast<uint8_t>(item.n_bytes()), item.type});
    }
    return out;
}

// The library's master the handler's records live in.
std::shared_ptr<tarnwick::Master> make_core(uint16_t address, uint16_t connection_id,
                                            uint16_t watchdog_ms, nb::handle parameters,
                                            std::size_t history_frames) {
    MasterConfig config;
    config.slave_address = address;
    config.connection_id = connection_id;
    config.watchdog_ms = watchdog_ms;
    config.parameters = core_parameters(parameters);
    config.history_frames = history_frames;
    return std::make_shared<tarnwick::Master>(config);
}

// The parameter items (the master's and the slave's echo) store their values in
// the library master's parameter records, when it has them.
void view_parameters(PyMasterHandler& h, nb::handle master_items, nb::handle slave_items) {
    std::vector<uint32_t>& own = h.core->own_node().parameters;
    std::vector<uint32_t>& echo = h.core->slave_node().parameters;
    if (own.empty()) return;
    std::size_t i = 0;
    for (nb::handle p : master_items)
        nb::inst_ptr<PyDynamicItem>(p)->view(&own[i++], h.core);
    i = 0;
    for (nb::handle p : slave_items)
        nb::inst_ptr<PyDynamicItem>(p)->view(&echo[i++], h.core);
}

// A Node of the handler whose records are `node` of the handler's master.
nb::object make_node(PyMasterHandler& h, tarnwick::Node& node, NodeArgs args) {
    return new_node(args, std::shared_ptr<tarnwick::Node>(h.core, &node));
}

void start_watchdog_thread(PyMasterHandler& h, double timeout, uint16_t conn_id) {
    h.watchdog = watchdog_class()(nb::arg("timeout_s") = timeout,
                                  nb::arg("callback") = weak_expiry_callback(self_of(h)));
    h.watchdog.attr("name") = watchdog_thread_name(conn_id);
    h.watchdog_core = watchdog_core(h.watchdog);
    h.wd = h.watchdog_core.get();
    h.watchdog.attr("start")();
}

// No thread: the Master times the exact timeout on the application's clock.
void use_clock(PyMasterHandler& h, double timeout, nb::handle clock) {
    h.clock = nb::borrow(clock);
    h.core->set_watchdog_timeout(static_cast<Micros>(std::llround(timeout * MICROS_PER_S)));
    h.watchdog = make_clock_watchdog(self_of(h));
}

// A count of frames: an int (not a bool) from 0 to MAX_HISTORY_FRAMES, a ValueError
// naming the range for any other int, however large or negative.
std::size_t history_frames_arg(nb::handle value) {
    if (PyBool_Check(value.ptr())) raise_arg_type("history_frames", &PyLong_Type, value.ptr());
    require_int(value, "history_frames");
    int overflow = 0;
    long long n = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
    if (overflow || n < 0 || static_cast<unsigned long long>(n) > MAX_HISTORY_FRAMES)
        throw nb::value_error(("history_frames must be 0 to " + std::to_string(MAX_HISTORY_FRAMES) +
                               " (got " + nb::repr(value).c_str() + ")")
                                  .c_str());
    return static_cast<std::size_t>(n);
}

void handler_init(PyMasterHandler* storage, nb::handle dictionary, nb::handle slave_address,
                  nb::handle connection_id, nb::handle watchdog_timeout_s,
                  nb::handle application_parameters, nb::handle report_error_callback,
                  nb::handle state_change_callback, nb::handle clock, nb::handle history_frames) {
    // Argument checks, all before anything is bound or created.
    if (!PyObject_TypeCheck(dictionary.ptr(), data_classes().dictionary))
        raise_arg_type("dictionary", data_classes().dictionary, dictionary.ptr());
    uint16_t address = to_u16(slave_address);
    uint16_t conn_id = to_u16(connection_id);
    double timeout = to_seconds(watchdog_timeout_s);
    nb::object parameters =
        application_parameters.is_none() ? nb::list() : nb::borrow(application_parameters);
    require_exact(parameters, &PyList_Type, "application_parameters");
    require_callable_or_none(report_error_callback, "report_error_callback");
    require_callable_or_none(state_change_callback, "state_change_callback");
    require_callable_or_none(clock, "clock");
    std::size_t history = history_frames_arg(history_frames);
    if (conn_id == 0) throw nb::value_error("Connection ID = 0 is not permitted");
    check_timeout(timeout);
    uint16_t watchdog_ms = watchdog_ms_of(timeout);
    // Bind the parameters only when all of them are free, so a refused handler
    // leaves every parameter usable.
    for (nb::handle p : parameters) {
        PyApplicationParameter& param =
            require_instance<PyApplicationParameter>(p, "application_parameters");
        if (param.bound) {
            PyErr_SetString(PyExc_PermissionError,
                            "Application parameter already used by a master");
            raise_pending();
        }
    }

    PyMasterHandler* h = new (storage) PyMasterHandler();
    nb::handle self = nb::find(h);
    for (nb::handle p : parameters)
        p.attr("_set_use_by_master")(self);

    DataClasses& dc = data_classes();
    h->dictionary = nb::borrow(dictionary);
    h->dict = nb::inst_ptr<PyDictionary>(dictionary);
    h->core = make_core(address, conn_id, watchdog_ms, parameters, history);
    h->hooks.install(*h->core);
    nb::object master_types = item_class_set({dc.item_output, dc.item_input_output});
    nb::object slave_types = item_class_set({dc.item_input, dc.item_input_output});
    nb::list slave_params = slave_parameters(parameters);
    h->master_obj =
        make_node(*h, h->core->own_node(),
                  {address, conn_id, watchdog_ms, parameters, dictionary, master_types});
    h->slave_obj =
        make_node(*h, h->core->slave_node(), {0, 0, 0, slave_params, dictionary, slave_types});
    view_parameters(*h, parameters, slave_params);
    h->master = nb::inst_ptr<PyNode>(h->master_obj);
    h->slave = nb::inst_ptr<PyNode>(h->slave_obj);
    adopt_state(*h, state_class(StateId::Reset)(nb::arg("context") = self));
    h->report_error_callback = nb::borrow(report_error_callback);
    h->state_change_callback = nb::borrow(state_change_callback);
    h->current_request = nb::bytes("", 0);
    if (clock.is_none())
        start_watchdog_thread(*h, timeout, conn_id);
    else
        use_clock(*h, timeout, clock);
}

// --- Garbage collection: a handler and its state (whose context is the handler)
// form a cycle; the watchdog's callback holds the handler only weakly.

int handler_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    if (!nb::inst_ready(self)) return 0;
    PyMasterHandler* h = nb::inst_ptr<PyMasterHandler>(self);
    for (nb::object* o : {&h->dictionary, &h->master_obj, &h->slave_obj, &h->state, &h->watchdog,
                          &h->report_error_callback, &h->state_change_callback, &h->clock})
        Py_VISIT(o->ptr());
    return 0;
}

int handler_clear(PyObject* self) {
    if (!nb::inst_ready(self)) return 0;
    PyMasterHandler* h = nb::inst_ptr<PyMasterHandler>(self);
    if (h->watchdog_core) h->watchdog_core->stop(); // collected without delete(): never join
    h->wd = nullptr;
    h->state.reset();
    h->watchdog.reset();
    h->report_error_callback.reset();
    h->state_change_callback.reset();
    h->clock.reset();
    return 0;
}

PyType_Slot HANDLER_SLOTS[] = {
    {Py_tp_traverse, reinterpret_cast<void*>(handler_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(handler_clear)},
    {0, nullptr},
};

nb::object command_object(frame::Command c) {
    return nb::borrow(command_member(static_cast<uint16_t>(c)));
}

void bind_handler_operations(nb::class_<PyMasterHandler>& cls) {
    cls.def("start", &handler_start, "Start the FSoE connection");
    cls.def("stop", &handler_stop, "Reset the connection and stop");
    cls.def("reset", &handler_reset, "Reset the FSoE Connection");
    cls.def("delete", &handler_delete, "End the watchdog thread");
    cls.def("poll", &handler_poll,
            "With clock=: deliver a watchdog expiry when the clock has passed the deadline "
            "(one per call, however late); True when it did");
    cls.def(
        "__enter__", [](nb::handle self) { return nb::borrow(self); },
        nb::sig("def __enter__(self) -> MasterHandler"), "Return the handler itself");
    cls.def(
        "__exit__",
        [](PyMasterHandler& h, nb::handle, nb::handle, nb::handle) {
            // delete() runs even when stop() raised; an exception is never swallowed.
            try {
                handler_stop(h);
            } catch (...) {
                handler_delete(h);
                throw;
            }
            handler_delete(h);
        },
        nb::arg("exc_type").none(), nb::arg("exc_value").none(), nb::arg("traceback").none(),
        nb::sig("def __exit__(self, exc_type: type[BaseException] | None, exc_value: "
                "BaseException | None, traceback: types.TracebackType | None) -> None"),
        "stop() if running, then delete()");
    cls.def(
        "get_request", [](PyMasterHandler& h) { return published_request(h); },
        nb::sig("def get_request(self) -> bytes"),
        "Get the current FSoE request.\n\nCan be called N times, even while the PDU has not "
        "changed.");
    cls.def("set_reply", &handler_set_reply, nb::arg("data").none(),
            nb::sig("def set_reply(self, data: bytes) -> None"),
            "Set the slave's reply.\n\nCan be set N times with the same data and will detect "
            "when there's a new PDU");
    cls.def(
        "set_fail_safe",
        [](PyMasterHandler& h, nb::handle active) {
            int on = PyObject_IsTrue(active.ptr());
            if (on < 0) raise_pending();
            h.core->set_fail_safe(on != 0);
        },
        nb::arg("active").none() = true,
        nb::sig("def set_fail_safe(self, active: bool = True) -> None"),
        "Set if the master is in fail safe mode.\n\nIn the Data state with fail-safe mode on, "
        "safe outputs are still sent but the slave is not to act on them.");
    cls.def(
        "set_slave_address",
        [](PyMasterHandler& h, nb::handle slave_address) {
            uint16_t address = to_u16(slave_address);
            if (h.core->running()) raise_running("Cannot set slave address while running");
            h.core->set_slave_address(address);
        },
        nb::arg("slave_address").none(),
        nb::sig("def set_slave_address(self, slave_address: int) -> None"),
        "Set the slave address of the master");
    cls.def_prop_ro(
        "running", [](PyMasterHandler& h) { return h.core->running(); },
        "True from start() to stop(): replies are processed only then");
    cls.def_prop_ro(
        "state", [](PyMasterHandler& h) { return nb::borrow(Py_TYPE(h.state.ptr())); },
        nb::sig("def state(self) -> type[State]"),
        "Class of the current state: StateReset, StateSession, StateConnection, StateParameter "
        "or StateData");
    cls.def_prop_ro(
        "initialization_data_bytes",
        [](PyMasterHandler& h) { return h.core->initialization_data_bytes(); },
        "Safe-data bytes per frame that carry connection data before the Data state");
}

void bind_state_operations(nb::class_<PyMasterHandler>& cls) {
    cls.def(
        "_report_error",
        [](PyMasterHandler& h, nb::handle transition_name, nb::handle error) {
            require_exact(transition_name, &PyUnicode_Type, "transition_name");
            require_exact(error, &PyUnicode_Type, "error");
            report_error(h, transition_name, error);
        },
        nb::arg("transition_name").none(), nb::arg("error").none(),
        nb::sig("def _report_error(self, transition_name: str, error: str) -> None"),
        "Pass a transition name and a message to the error callback, if one was given");
    cls.def(
        "_create_session_id", [](PyMasterHandler& h) { h.core->create_session_id(); },
        "Create new random session id");
    cls.def(
        "_dynamic_map_pending", [](PyMasterHandler& h) { return h.core->dynamic_map_pending(); },
        "Check if one of the dynamic maps has pending data");
    cls.def(
        "_set_next_state",
        [](nb::handle self, nb::handle next_state) {
            set_next_state(nb::cast<PyMasterHandler&>(self), next_state, self);
        },
        nb::arg("next_state").none(), "Set the next state of the state machine");
    cls.def("_watchdog_expired_event", &handler_watchdog_expired,
            "Watchdog expired event callback for watchdog");
    cls.def(
        "_get_request",
        [](PyMasterHandler& h) {
            published_request(h); // made before the Master's request changes under it
            h.core->rebuild_request();
            return request_bytes(h);
        },
        "Get new FSoE Request");
    cls.def(
        "_set_reply",
        [](PyMasterHandler& h, nb::handle reply) {
            require_exact(reply, &PyBytes_Type, "reply");
            ConstBytes r = reply_bytes(reply);
            check_size_fits(frame::size_for_length(r.size));
            h.core->take_reply(r.data, r.size);
        },
        nb::arg("reply").none(), "Get new FSoE reply");
}

void bind_handler_attributes(nb::class_<PyMasterHandler>& cls) {
    cls.def_prop_ro(
        "dictionary", [](PyMasterHandler& h) { return h.dictionary; },
        nb::sig("def dictionary(self) -> Dictionary"), "The application's safe inputs and outputs");
    cls.def_prop_ro(
        "master", [](PyMasterHandler& h) { return h.master_obj; },
        nb::sig("def master(self) -> Node"),
        "The master's side: request frame, own session data, map of the outputs");
    cls.def_prop_ro(
        "slave", [](PyMasterHandler& h) { return h.slave_obj; }, nb::sig("def slave(self) -> Node"),
        "The slave as the master sees it: last reply, received session data, map of the inputs");
    cls.def_prop_ro(
        "clock", [](PyMasterHandler& h) { return h.clock.is_valid() ? h.clock : nb::none(); },
        nb::sig("def clock(self) -> collections.abc.Callable[[], float] | None"),
        "The clock given as clock=, or None: the watchdog thread times the connection");
    cls.def_prop_ro(
        "_watchdog", [](PyMasterHandler& h) { return h.watchdog; },
        nb::sig("def _watchdog(self) -> Watchdog"), "The watchdog thread of this connection");
    def_property(cls, "_state", nb::cpp_function([](PyMasterHandler& h) { return h.state; }),
                 setter([](PyMasterHandler& h, nb::handle s) { adopt_state(h, nb::borrow(s)); }),
                 "Current state");
    def_property(cls, "_data_command", nb::cpp_function([](PyMasterHandler& h) {
                     return command_object(h.core->data_command());
                 }),
                 setter([](PyMasterHandler& h, nb::handle c) {
                     uint16_t word = to_u16(c.attr("value"));
                     if (!frame::command_is_valid(word))
                         throw nb::value_error("_data_command must be an FSOECommand");
                     h.core->set_data_command(static_cast<frame::Command>(word));
                 }),
                 "Command of the Data state's requests");
    def_property(cls, "_second_session_frame_sent", nb::cpp_function([](PyMasterHandler& h) {
                     return h.core->second_session_frame_sent();
                 }),
                 setter([](PyMasterHandler& h, nb::handle v) {
                     h.core->set_second_session_frame_sent(truthy(v));
                 }),
                 "A first Session reply was accepted with data pending");
    def_property(cls, "_reset_slave_sequence_number_after_frame",
                 nb::cpp_function(
                     [](PyMasterHandler& h) { return h.core->reset_slave_sequence_after_frame(); }),
                 setter([](PyMasterHandler& h, nb::handle v) {
                     h.core->set_reset_slave_sequence_after_frame(truthy(v));
                 }),
                 "Restart the slave's sequence number after the next request");
}

} // namespace

// --- The C-level interface (master_api.h) ---------------------------------------------------

namespace {

// Runs `f` with exceptions turned into the pending Python exception and -1.
template <typename F> int guarded(F&& f) noexcept {
    try {
        return f();
    } catch (nb::python_error& e) {
        e.restore();
    } catch (const nb::builtin_exception& e) {
        PyErr_SetString(python_type_of(e.type()), e.what());
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    }
    return -1;
}

PyTypeObject* handler_type = nullptr;

// The handler itself without nanobind's type look-up in the common case.
PyMasterHandler& handler_arg(PyObject* obj) {
    if (Py_TYPE(obj) == handler_type && nb::inst_ready(obj))
        return *nb::inst_ptr<PyMasterHandler>(obj);
    return require_instance<PyMasterHandler>(nb::handle(obj), "handler");
}

int api_request(PyObject* handler, const uint8_t** data, std::size_t* size) {
    return guarded([&] {
        PyMasterHandler& h = handler_arg(handler);
        if (h.request_pending) { // the published request is still the Master's own
            ConstBytes r = h.core->request();
            *data = r.data;
            *size = r.size;
            return 0;
        }
        PyObject* r = h.current_request.ptr();
        *data = reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(r));
        *size = static_cast<std::size_t>(PyBytes_GET_SIZE(r));
        return 0;
    });
}

int api_set_reply(PyObject* handler, const uint8_t* data, std::size_t size) {
    return guarded([&] {
        take_reply(handler_arg(handler), {data, size});
        return 0;
    });
}

int api_poll(PyObject* handler) {
    return guarded([&] { return handler_poll(handler_arg(handler)) ? 1 : 0; });
}

PyObject* api_state_class(PyObject* handler) {
    PyObject* cls = nullptr;
    guarded([&] {
        cls = reinterpret_cast<PyObject*>(Py_TYPE(handler_arg(handler).state.ptr()));
        return 0;
    });
    return cls;
}

int api_clock_now(PyObject* clock, uint64_t* now_us) {
    PyManualClock* c = manual_clock(clock);
    if (!c) {
        PyErr_SetString(PyExc_TypeError, "Expected a tarnwick.ManualClock");
        return -1;
    }
    *now_us = c->now_us;
    return 0;
}

int api_clock_advance(PyObject* clock, uint64_t us) {
    return guarded([&] {
        if (!advance_manual_clock(clock, us))
            throw nb::type_error("Expected a tarnwick.ManualClock");
        return 0;
    });
}

const MasterApi MASTER_API = {MASTER_API_VERSION, api_request,   api_set_reply,    api_poll,
                              api_state_class,    api_clock_now, api_clock_advance};

} // namespace

void enter_state(PyMasterHandler& h, StateId to) {
    nb::object cls = returned_class(h, to);
    adopt_state(h, cls(nb::arg("context") = self_of(h)));
    call_callback(h, h.state_change_callback, cls);
}

void report_error(PyMasterHandler& h, nb::handle transition_name, nb::handle message) {
    call_callback(h, h.report_error_callback, transition_name, message);
}

void init_handler(nb::module_& m) {
    init_handler_hooks();
    nb::class_<PyMasterHandler> cls(
        m, "MasterHandler",
        "Master Handler\n\n    Handles the connection with a single slave from a master's point "
        "of view\n    ",
        nb::type_slots(HANDLER_SLOTS), nb::is_weak_referenceable());
    cls.def("__init__", &handler_init, nb::arg("dictionary").none(),
            nb::arg("slave_address").none(), nb::arg("connection_id").none(),
            nb::arg("watchdog_timeout_s").none(),
            nb::arg("application_parameters").none() = nb::none(),
            nb::arg("report_error_callback").none() = nb::none(),
            nb::arg("state_change_callback").none() = nb::none(), nb::kw_only(),
            nb::arg("clock").none() = nb::none(), nb::arg("history_frames").none() = 0,
            nb::sig("def __init__(self, dictionary: Dictionary, slave_address: int, "
                    "connection_id: int, watchdog_timeout_s: float, "
                    "application_parameters: list[ApplicationParameter] | None = None, "
                    "report_error_callback: collections.abc.Callable[[str, str], object] | None "
                    "= None, "
                    "state_change_callback: collections.abc.Callable[[type[State]], object] | "
                    "None = None, *, clock: collections.abc.Callable[[], float] | None = None, "
                    "history_frames: int = 0) -> None"),
            "A master for one slave connection. Starts the watchdog thread (end it with "
            "delete()), on which both callbacks may run; with clock= (a callable returning "
            "seconds) there is no thread: the watchdog runs on that clock and poll() "
            "delivers its expiries. history_frames= keeps the last frames each way for "
            "history().");
    bind_handler_operations(cls);
    bind_state_operations(cls);
    bind_handler_attributes(cls);
    bind_handler_diagnostics(cls);
    handler_type = reinterpret_cast<PyTypeObject*>(cls.ptr());
    m.attr("_master_api") =
        nb::steal(PyCapsule_New(const_cast<MasterApi*>(&MASTER_API), MASTER_API_CAPSULE, nullptr));
}

} // namespace tarnwick::py
