// WatchdogCommand and Watchdog. Watchdog is a real threading.Thread subclass whose
// methods are C++ functions over a WatchdogCore kept in the instance.
#include "tarnwick/watchdog_binding.hpp"

#include <cmath>
#include <memory>
#include <optional>

namespace tarnwick::py {

namespace {

constexpr const char* CORE_ATTR = "_Watchdog__core";
constexpr double MIN_TIMEOUT_S = 0.001; // the watchdog time travels in whole milliseconds
PyObject* watchdog_cls = nullptr;
PyObject* live_watchdogs = nullptr; // weakref.WeakSet, stopped when the interpreter exits

struct PyWatchdogCore {
    std::shared_ptr<handler::WatchdogCore> core; // shared with the handler it supervises
    nb::object callback;
};

PyWatchdogCore& core_holder(nb::handle self) {
    nb::object holder = nb::steal(PyObject_GetAttrString(self.ptr(), CORE_ATTR));
    if (!holder.is_valid()) raise_pending();
    return nb::cast<PyWatchdogCore&>(holder);
}

void watchdog_init(nb::handle self, nb::handle timeout_s, nb::handle callback) {
    double timeout = to_seconds(timeout_s);
    check_timeout(timeout);
    nb::module_::import_("threading").attr("Thread").attr("__init__")(self);
    PyWatchdogCore holder{std::make_shared<handler::WatchdogCore>(timeout), nb::borrow(callback)};
    nb::setattr(self, CORE_ATTR, nb::cast(std::move(holder), nb::rv_policy::move));
    nb::handle(live_watchdogs).attr("add")(self);
}

// The thread body: waits with the interpreter lock released, takes it for each expiry.
void watchdog_run(nb::handle self) {
    PyWatchdogCore& holder = core_holder(self);
    nb::object keep_alive = nb::borrow(self);
    std::optional<nb::python_error> failure;
    {
        nb::gil_scoped_release unlocked;
        holder.core->run([&]() {
            nb::gil_scoped_acquire locked;
            try {
                holder.callback();
                return true;
            } catch (nb::python_error& e) {
                failure.emplace(std::move(e));
                return false;
            }
        });
    }
    // An exception of the callback ends the thread, as the thread's own error.
    if (failure) throw std::move(*failure);
}

void watchdog_stop(nb::handle self) {
    handler::WatchdogCore& core = *core_holder(self).core;
    core.stop();
    if (core.on_watchdog_thread()) return; // asked from an expiry: the loop ends after it
    {
        nb::gil_scoped_release unlocked;
        core.wait_until_finished();
    }
    // The thread object reports not alive only once its bootstrap has returned.
    nb::object current = nb::module_::import_("threading").attr("current_thread")();
    if (!current.is(self) && truthy(self.attr("is_alive")())) self.attr("join")();
}

void stop_live_watchdogs() {
    for (nb::handle w : nb::list(nb::handle(live_watchdogs)))
        core_holder(w).core->stop();
}

nb::dict watchdog_namespace() {
    nb::dict ns;
    auto def = [&](const char* name, auto&& f, const char* doc, auto... extra) {
        ns[name] = nb::cpp_function(f, nb::is_method(), nb::name(name), extra..., doc);
    };
    def("__init__", &watchdog_init, "FSoE Watchdog", nb::arg("timeout_s").none(),
        nb::arg("callback").none(),
        nb::sig("def __init__(self, timeout_s: float, "
                "callback: collections.abc.Callable[[], object]) -> None"));
    def("run", &watchdog_run, "Watchdog process");
    def(
        "activate", [](nb::handle self) { core_holder(self).core->activate(); },
        "Activate the watchdog.\n\nIf the reset is not called within less than timeout "
        "parameter, a timeout will occur");
    def(
        "reset", [](nb::handle self) { core_holder(self).core->reset(); },
        "Reset the watchdog to prevent a timeout");
    def(
        "activate_and_reset",
        [](nb::handle self) {
            handler::WatchdogCore& core = *core_holder(self).core;
            core.activate();
            core.reset();
        },
        "Activate the watchdog if not already active\n\nand reset the watchdog to prevent a "
        "timeout");
    def(
        "deactivate", [](nb::handle self) { core_holder(self).core->deactivate(); },
        "Deactivate the watchdog. Resets are no longer required");
    def("stop", &watchdog_stop, "Stop the watchdog module");
    ns["__doc__"] = "FSoE Watchdog\n\n    Implements a mechanism to detect if a PDU cycle is not "
                    "completed within a time frame\n\n    Args:\n        timeout_s: Timeout in "
                    "seconds of the watchdog\n        callback: Callback to be called when the "
                    "timeout is reached without a reset\n    ";
    ns["__module__"] = "tarnwick";
    ns["__qualname__"] = "Watchdog";
    return ns;
}

void bind_watchdog_command(nb::module_& m) {
    nb::object enum_cls = nb::module_::import_("enum").attr("Enum");
    nb::object cls =
        enum_cls("WatchdogCommand", "ACTIVATE DEACTIVATE RESET STOP",
                 nb::arg("module") = "tarnwick", nb::arg("qualname") = "WatchdogCommand");
    cls.attr("__doc__") = "Commands the watchdog thread accepts";
    m.attr("WatchdogCommand") = cls;
}

} // namespace

double to_seconds(nb::handle timeout_s) {
    double t = PyFloat_AsDouble(timeout_s.ptr());
    if (t == -1.0 && PyErr_Occurred()) raise_pending();
    return t;
}

void check_timeout(double timeout_s) {
    if (!std::isfinite(timeout_s) || timeout_s <= 0.0)
        throw nb::value_error("Watchdog timeout must be a positive number of seconds");
    // The frames carry whole milliseconds: a shorter time would travel as 0 ms and
    // expire continuously.
    if (timeout_s < MIN_TIMEOUT_S)
        throw nb::value_error("Watchdog timeout must be at least 0.001 seconds (1 ms)");
}

std::shared_ptr<handler::WatchdogCore> watchdog_core(nb::handle watchdog) {
    return core_holder(watchdog).core;
}

nb::handle watchdog_class() {
    return watchdog_cls;
}

void init_watchdog(nb::module_& m) {
    nb::class_<PyWatchdogCore>(m, "_WatchdogCore", "C++ state of a Watchdog (internal).");
    bind_watchdog_command(m);

    nb::module_ threading = nb::module_::import_("threading");
    nb::object type = nb::module_::import_("builtins").attr("type");
    nb::object cls =
        type("Watchdog", nb::make_tuple(threading.attr("Thread")), watchdog_namespace());
    nb::handle prop = nb::module_::import_("builtins").attr("property");
    nb::setattr(
        cls, "active",
        prop(nb::cpp_function([](nb::handle self) { return core_holder(self).core->active(); }),
             nb::none(), nb::none(), "Indicates if the watchdog is active"));
    watchdog_cls = cls.inc_ref().ptr();
    m.attr("Watchdog") = cls;

    live_watchdogs = nb::module_::import_("weakref").attr("WeakSet")().release().ptr();
    // Non-daemon watchdog threads would keep the interpreter from exiting when an
    // application forgets delete(); stop them when the interpreter shuts down.
    if (nb::hasattr(threading, "_register_atexit"))
        threading.attr("_register_atexit")(nb::cpp_function(&stop_live_watchdogs));
}

} // namespace tarnwick::py
