// The master's connection states as Python classes: the State base class and the
// five state classes, thin wrappers over the handler's tarnwick::Master.
//
// The state classes are real Python classes (State is an abc.ABC) so that an
// application can subclass them; their methods run the Master's building blocks for
// the handler's current state (`context`). The Master runs an instance of one of the
// five classes itself, and an application's subclass through SubclassOverride.
#include "core/master/decide.hpp"
#include "tarnwick/handler_binding.hpp"

#include <cctype>
#include <string>

namespace tarnwick::py {

namespace {

using states::StateId;
using states::Transition;

constexpr const char* STATE_NAMES[states::STATE_COUNT] = {
    "StateReset", "StateSession", "StateConnection", "StateParameter", "StateData"};
constexpr const char* STATE_DOCS[states::STATE_COUNT] = {
    "FSoE Reset state: the master sends Reset frames carrying its error code until the slave "
    "answers with a Reset frame",
    "FSoE Session state: the master sends its session id",
    "FSoE Connection state: the master sends the connection id and the slave address, and the "
    "slave echoes them",
    "FSoE Parameter state: the master sends the watchdog time and the application parameters, "
    "and the slave echoes them",
    "FSoE Data state: safe outputs go to the slave and safe inputs come back, as process data "
    "or fail-safe data",
};

std::array<PyObject*, states::STATE_COUNT> state_classes{};
std::vector<PyObject*> transition_names; // interned, by Transition

// The Master's record of a node of the handler; another node has none.
Node& core_node(PyMasterHandler& h, nb::handle node) {
    require_instance<PyNode>(node, "node");
    if (node.is(h.master_obj)) return h.core->own_node();
    if (node.is(h.slave_obj)) return h.core->slave_node();
    throw nb::value_error("node must be the master or the slave node of the state's handler");
}

// --- Python classes -----------------------------------------------------------------------------

constexpr const char* STATE_BASE_SOURCE = R"(
import abc

class State(abc.ABC):
    """FSoE State"""

    id: int

    def __init__(self, context):
        """Store the handler that owns the state as `context`."""
        self.context = context

    @abc.abstractmethod
    def _process_frame_received_event(self):
        """Process events when a frame is received

        Returns:
            The next state
        """
        raise NotImplementedError

    @abc.abstractmethod
    def _process_watchdog_expired_event(self):
        """Process events when the watchdog expires

        Returns:
            The next state
        """
        raise NotImplementedError

    @abc.abstractmethod
    def _process_reset_connection_event(self):
        """Process events when the connection is reset

        Returns:
            The next state
        """
        raise NotImplementedError
)";

nb::object make_state_base() {
    nb::dict globals;
    globals["__name__"] = "tarnwick";
    globals["__builtins__"] = nb::module_::import_("builtins");
    nb::object code = nb::module_::import_("builtins")
                          .attr("compile")(STATE_BASE_SOURCE, "<tarnwick states>", "exec");
    nb::object result = nb::steal(PyEval_EvalCode(code.ptr(), globals.ptr(), globals.ptr()));
    if (!result.is_valid()) raise_pending();
    nb::object base = globals["State"];
    base.attr("_check_received_crcs") = nb::cpp_function(
        [](nb::handle self) { return handler_of_state(self).core->check_received_crcs(); },
        nb::is_method(), nb::name("_check_received_crcs"),
        "Check the received crcs from the slave.\n\n        Returns:\n            True if the "
        "crcs are valid. False otherwise\n        ");
    return base;
}

nb::handle class_of(StateId s) {
    return state_classes[static_cast<unsigned>(s)];
}

template <typename F>
void def_method(nb::dict& ns, const std::string& name, F&& f, const char* doc) {
    ns[name.c_str()] =
        nb::cpp_function(std::forward<F>(f), nb::is_method(), nb::name(name.c_str()), doc);
}

// By Event: FrameReceived, WatchdogExpired, ResetConnection.
constexpr const char* EVENT_METHOD_NAMES[] = {
    "_process_frame_received_event",
    "_process_watchdog_expired_event",
    "_process_reset_connection_event",
};
constexpr const char* EVENT_DOCS[] = {
    "Process events when a frame is received\n\nReturns:\n    The next state\n",
    "Process events when the watchdog expires\n\nReturns:\n    The next state\n",
    "Process events when the connection is reset\n\nReturns:\n    The next state\n",
};
constexpr Event EVENTS[] = {Event::FrameReceived, Event::WatchdogExpired, Event::ResetConnection};

// The event operations run the Master's for the handler's current state (through
// the override of an application's subclass for its CRC check and actions).
void add_event_methods(nb::dict& ns) {
    for (Event e : EVENTS)
        def_method(
            ns, event_method_name(e),
            [e](nb::handle self) {
                PyMasterHandler& h = handler_of_state(self);
                h.next_class = nb::object();
                StateId next = h.core->builtin_event(e);
                return returned_class(h, next);
            },
            EVENT_DOCS[static_cast<unsigned>(e)]);
}

void add_action_methods(nb::dict& ns, StateId s) {
    for (unsigned i = 0; i < states::transition_count(); ++i) {
        Transition t = static_cast<Transition>(i);
        if (states::info(t).state != s) continue;
        def_method(
            ns, action_method_name(t),
            [t](nb::handle self) {
                return class_of(handler_of_state(self).core->run_transition(t));
            },
            states::info(t).name);
    }
}

void add_state_specific_methods(nb::dict& ns, StateId s) {
    if (s != StateId::Connection)
        def_method(
            ns, "map_frame", [s](nb::handle self) { handler_of_state(self).core->map_frame(s); },
            "Prepare the master's request for this state");
    if (s == StateId::Reset)
        def_method(
            ns, "_reset_handler",
            [](nb::handle self, nb::handle error) {
                uint16_t code = to_u16(error.attr("value"));
                return class_of(handler_of_state(self).core->reset_handler(code));
            },
            "Reset the connection with an error code");
    if (s == StateId::Session)
        def_method(
            ns, "_reset_session",
            [](nb::handle self) { return class_of(handler_of_state(self).core->reset_session()); },
            "Start a new session");
    if (s == StateId::Parameter) {
        def_method(
            ns, "_StateParameter__calculate_master_size_bytes",
            [](nb::handle self) { handler_of_state(self).core->set_parameter_sizes(); },
            "Fill in the master's parameter lengths");
        def_method(
            ns, "_StateParameter__clear_slave_parameters",
            [](nb::handle self) { handler_of_state(self).core->clear_parameter_echo(); },
            "Zero the slave side's parameter items");
        def_method(
            ns, "_StateParameter__map_node",
            [](nb::handle self, nb::handle node) {
                PyMasterHandler& h = handler_of_state(self);
                h.core->map_parameters(core_node(h, node));
            },
            "Load one node's parameter items into its dynamic map");
    }
}

nb::object make_state_class(nb::handle base, StateId s) {
    nb::dict ns;
    ns["__module__"] = "tarnwick";
    ns["__qualname__"] = STATE_NAMES[static_cast<unsigned>(s)];
    ns["__doc__"] = STATE_DOCS[static_cast<unsigned>(s)];
    ns["id"] = static_cast<unsigned>(s);
    add_event_methods(ns);
    add_action_methods(ns, s);
    add_state_specific_methods(ns, s);
    nb::handle meta = nb::module_::import_("abc").attr("ABCMeta");
    return meta(STATE_NAMES[static_cast<unsigned>(s)], nb::make_tuple(base), ns);
}

} // namespace

// --- Shared with the handler
// ----------------------------------------------------------------------

nb::handle transition_name(Transition t) {
    return transition_names[static_cast<unsigned>(t)];
}

PyMasterHandler& handler_of_state(nb::handle state) {
    nb::object context = state.attr("context");
    return require_instance<PyMasterHandler>(context, "context");
}

nb::handle state_class(StateId s) {
    return class_of(s);
}

StateId classify_state(nb::handle state, bool& exact) {
    exact = false;
    for (unsigned i = 0; i < states::STATE_COUNT; ++i) {
        if (Py_TYPE(state.ptr()) == reinterpret_cast<PyTypeObject*>(state_classes[i])) {
            exact = true;
            return static_cast<StateId>(i);
        }
    }
    for (unsigned i = 0; i < states::STATE_COUNT; ++i) {
        int is = PyObject_IsInstance(state.ptr(), state_classes[i]);
        if (is < 0) raise_pending();
        if (is) return static_cast<StateId>(i);
    }
    return StateId::Custom;
}

// "_StateSession__session_ok_action" for SESSION_OK in StateSession.
std::string action_method_name(Transition t) {
    std::string name = states::info(t).name;
    for (char& c : name)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const std::string long_prefix = "connection_";
    if (name.compare(0, long_prefix.size(), long_prefix) == 0)
        name = "conn_" + name.substr(long_prefix.size());
    return std::string("_") + STATE_NAMES[static_cast<unsigned>(states::info(t).state)] + "__" +
           name + "_action";
}

const char* event_method_name(Event e) {
    return EVENT_METHOD_NAMES[static_cast<unsigned>(e)];
}

StateId state_kind_of_class(nb::handle cls) {
    for (unsigned i = 0; i < states::STATE_COUNT; ++i)
        if (cls.is(state_classes[i])) return static_cast<StateId>(i);
    if (!PyType_Check(cls.ptr())) return StateId::Custom;
    for (unsigned i = 0; i < states::STATE_COUNT; ++i) {
        int is = PyObject_IsSubclass(cls.ptr(), state_classes[i]);
        if (is < 0) raise_pending();
        if (is) return static_cast<StateId>(i);
    }
    return StateId::Custom;
}

// The class an operation returned when it stands for `s`; else the built-in class,
// or in a custom state the current state's own class.
nb::object returned_class(PyMasterHandler& h, StateId s) {
    nb::object cls = std::move(h.next_class);
    h.next_class = nb::object();
    if (cls.is_valid() && state_kind_of_class(cls) == s) return cls;
    if (s == StateId::Custom)
        return nb::borrow(reinterpret_cast<PyObject*>(Py_TYPE(h.state.ptr())));
    return nb::borrow(class_of(s));
}

void init_states(nb::module_& m) {
    transition_names.resize(states::transition_count());
    for (unsigned i = 0; i < states::transition_count(); ++i)
        transition_names[i] =
            PyUnicode_InternFromString(states::info(static_cast<Transition>(i)).name);

    nb::object base = make_state_base();
    m.attr("State") = base;
    for (unsigned i = 0; i < states::STATE_COUNT; ++i) {
        nb::object cls = make_state_class(base, static_cast<StateId>(i));
        state_classes[i] = cls.inc_ref().ptr();
        m.attr(STATE_NAMES[i]) = cls;
    }
}

} // namespace tarnwick::py
