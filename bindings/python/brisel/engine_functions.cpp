// Engine life cycle, the request/reply cycle and FSOEState.
#include "brisel/binding.hpp"
#include "brisel/mock.hpp"
#include "core/slave/engine/fsoe_slave.hpp"

#include <array>

namespace brisel::py {

namespace {

struct StateDef {
    const char* name;
    fsoe_state_number number;
};
constexpr std::array<StateDef, FSOE_STATE_COUNT> STATES = {{
    {"FSOE_STATE_RESET", FSOE_STATE_RESET},
    {"FSOE_STATE_SESSION", FSOE_STATE_SESSION},
    {"FSOE_STATE_CONNECTION", FSOE_STATE_CONNECTION},
    {"FSOE_STATE_PARAMETER", FSOE_STATE_PARAMETER},
    {"FSOE_STATE_DATA", FSOE_STATE_DATA},
}};
// State number -> enumeration member (strong references, never released).
std::array<PyObject*, FSOE_STATE_COUNT> state_members{};

constexpr fsoe_engine_sources MOCK_SOURCES = {mock_time, mock_random_u16, mock_sra_crc};

void bind_state_enum(nb::module_& m) {
    nb::list members;
    for (const StateDef& s : STATES)
        members.append(nb::make_tuple(s.name, static_cast<unsigned>(s.number)));
    nb::object cls = nb::module_::import_("enum").attr("Enum")(
        "FSOEState", members, nb::arg("module") = "virtual_slave.brisel",
        nb::arg("qualname") = "FSOEState");
    cls.attr("__doc__") = "States of the virtual slave's FSoE connection.";
    for (const StateDef& s : STATES)
        state_members[s.number] = nb::object(cls.attr(s.name)).release().ptr();
    m.attr("FSOEState") = cls;
}

void set_request(nb::handle data) {
    require_exact(data, &PyBytes_Type, "data");
    const auto* p = reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(data.ptr()));
    Py_ssize_t len = PyBytes_GET_SIZE(data.ptr());
    if (fsoe_engine_set_request(p, static_cast<std::size_t>(len)) == FSOE_REQUEST_TOO_LONG) {
        PyErr_Format(PyExc_ValueError, "Request of %zd bytes is longer than the %u-byte buffer",
                     len, static_cast<unsigned>(FSOE_REQUEST_BUFFER_BYTES));
        raise_pending();
    }
}

// Reply words as get_frame_size_words (looked up by its global name) counts them.
unsigned reply_words() {
    const ModuleState& s = state();
    PyObject* fn = PyDict_GetItemWithError(s.module_dict, s.get_frame_size_words_name);
    if (fn == s.get_frame_size_words) return fsoe_engine_frame_words();
    nb::object words = module_global("get_frame_size_words")();
    uint16_t n = c_unsigned<uint16_t>(words);
    if (n > FSOE_AREA_WORDS) {
        PyErr_Format(PyExc_ValueError, "A reply of %u words exceeds the %u-word reply area",
                     static_cast<unsigned>(n), FSOE_AREA_WORDS);
        raise_pending();
    }
    return n;
}

nb::object get_reply() {
    unsigned words = reply_words();
    PyObject* out = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(2 * words));
    if (!out) raise_pending();
    auto* p = reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(out));
    const uint16_t* reply = fsoe_engine_reply_words();
    for (unsigned w = 0; w < words; ++w) {
        p[2 * w] = static_cast<uint8_t>(reply[w]);
        p[2 * w + 1] = static_cast<uint8_t>(reply[w] >> 8);
    }
    return nb::steal(out);
}

} // namespace

void init_engine(nb::module_& m) {
    bind_state_enum(m);
    def(m, "init", [] { fsoe_slave_init(MOCK_SOURCES); },
        "Initialise the virtual slave: dictionary, static map and engine.", {});
    def(m, "start", [] { fsoe_slave_start(); },
        "Validate and lock the static map and activate the engine; with an invalid map the "
        "engine stays inactive.",
        {});
    def(m, "stop", [] { fsoe_slave_stop(); },
        "Deactivate the engine, unlock the static map and return to the Reset state.", {});
    def(m, "process", [] { fsoe_engine_process(); },
        "One engine step: watchdog, pending request, reply.", {});
    def(m, "set_request", &set_request, "Take the master's request frame.", {{"data", "bytes"}},
        nb::arg("data").none());
    def(m, "get_reply", &get_reply, "The slave's current reply frame.", {{"return", "bytes"}});
    state().get_frame_size_words =
        def(m, "get_frame_size_words", [] { return fsoe_engine_frame_words(); },
            "The engine's frame size in 16-bit words.", {{"return", "int"}})
            .release()
            .ptr();
    state().get_frame_size_words_name = PyUnicode_InternFromString("get_frame_size_words");
    def(m, "get_state",
        [] { return nb::borrow(state_members[fsoe_engine_state() % FSOE_STATE_COUNT]); },
        "The engine's current state.", {});
}

} // namespace brisel::py
