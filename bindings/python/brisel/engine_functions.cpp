// Engine life cycle, the request/reply cycle and FSOEState.
#include "brisel/binding.hpp"

#include <array>

namespace brisel::py {

namespace {

using State = tarnwick::VirtualSlave::State;
// The states are numbered from 0 (Reset) to Data: FSOEState's values.
constexpr unsigned STATE_COUNT = static_cast<unsigned>(State::Data) + 1;

struct StateDef {
    const char* name;
    State state;
};
constexpr std::array<StateDef, STATE_COUNT> STATES = {{
    {"FSOE_STATE_RESET", State::Reset},
    {"FSOE_STATE_SESSION", State::Session},
    {"FSOE_STATE_CONNECTION", State::Connection},
    {"FSOE_STATE_PARAMETER", State::Parameter},
    {"FSOE_STATE_DATA", State::Data},
}};
// State number -> enumeration member (strong references, never released).
std::array<PyObject*, STATE_COUNT> state_members{};

unsigned number_of(State s) {
    return static_cast<unsigned>(s);
}

void bind_state_enum(nb::module_& m) {
    nb::list members;
    for (const StateDef& s : STATES)
        members.append(nb::make_tuple(s.name, number_of(s.state)));
    nb::object cls = nb::module_::import_("enum").attr("Enum")(
        "FSOEState", members, nb::arg("module") = "virtual_slave.brisel",
        nb::arg("qualname") = "FSOEState");
    cls.attr("__doc__") = "States of the virtual slave's FSoE connection.";
    for (const StateDef& s : STATES)
        state_members[number_of(s.state)] = nb::object(cls.attr(s.name)).release().ptr();
    m.attr("FSOEState") = cls;
}

void set_request(nb::handle data) {
    require_exact(data, &PyBytes_Type, "data");
    const auto* p = reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(data.ptr()));
    Py_ssize_t len = PyBytes_GET_SIZE(data.ptr());
    if (!slave().set_request(p, static_cast<std::size_t>(len))) {
        PyErr_Format(PyExc_ValueError, "Request of %zd bytes is longer than the %u-byte buffer",
                     len, static_cast<unsigned>(tarnwick::VirtualSlave::REQUEST_BUFFER_BYTES));
        raise_pending();
    }
}

// Reply words as get_frame_size_words (looked up by its global name) counts them.
unsigned reply_words() {
    const ModuleState& s = state();
    PyObject* fn = PyDict_GetItemWithError(s.module_dict, s.get_frame_size_words_name);
    if (fn == s.get_frame_size_words) return slave().frame_words();
    nb::object words = module_global("get_frame_size_words")();
    uint16_t n = c_unsigned<uint16_t>(words);
    if (n > tarnwick::VirtualSlave::REPLY_AREA_WORDS) {
        PyErr_Format(PyExc_ValueError, "A reply of %u words exceeds the %u-word reply area",
                     static_cast<unsigned>(n), tarnwick::VirtualSlave::REPLY_AREA_WORDS);
        raise_pending();
    }
    return n;
}

nb::object get_reply() {
    unsigned words = reply_words();
    PyObject* out = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(2 * words));
    if (!out) raise_pending();
    slave().reply(reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(out)), words);
    return nb::steal(out);
}

} // namespace

nb::object state_member(State s) {
    return nb::borrow(state_members[number_of(s) % STATE_COUNT]);
}

void init_engine(nb::module_& m) {
    bind_state_enum(m);
    def(m, "init", [] { slave().init(); },
        "Initialise the virtual slave: dictionary, static map and engine.", {});
    def(m, "start", [] { slave().start(); },
        "Validate and lock the static map and activate the engine; with an invalid map the "
        "engine stays inactive.",
        {});
    def(m, "stop", [] { slave().stop(); },
        "Deactivate the engine, unlock the static map and return to the Reset state.", {});
    def(m, "process", [] { slave().process(); },
        "One engine step: watchdog, pending request, reply.", {});
    def(m, "set_request", &set_request, "Take the master's request frame.", {{"data", "bytes"}},
        nb::arg("data").none());
    def(m, "get_reply", &get_reply, "The slave's current reply frame.", {{"return", "bytes"}});
    state().get_frame_size_words =
        def(m, "get_frame_size_words", [] { return slave().frame_words(); },
            "The engine's frame size in 16-bit words.", {{"return", "int"}})
            .release()
            .ptr();
    state().get_frame_size_words_name = PyUnicode_InternFromString("get_frame_size_words");
    def(m, "get_state", [] { return state_member(slave().state()); }, "The engine's current state.",
        {});
}

} // namespace brisel::py
