// The diagnostic trace: lines on standard output through Python's print, so a
// redirected sys.stdout captures them. Off unless TARNWICK_LOGGING is non-empty at
// import; the module attribute is read again at every call so it can be switched.
#include "tarnwick/frame_binding.hpp"

#include <cstdio>
#include <string>

namespace tarnwick::py {

namespace {

constexpr const char* LOGGING_ATTR = "TARNWICK_LOGGING";
PyObject* logging_name = nullptr; // interned attribute name

void print_hex_line(const char* label, unsigned value) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%s0x%x", label, value);
    print_line(buf);
}

// The stored command word, not the enumeration member: an invalid command (a new
// frame, a garbled reply) is traced instead of raising from inside the trace.
void print_control_lines(const frame::FrameControl& c) {
    print_hex_line("Reference CRC0:    ", c.crc0);
    print_hex_line("Connection ID:     ", c.connection_id);
    print_hex_line("Sequence number:   ", c.sequence_number);
    print_hex_line("Command:           ", c.command);
}

void append_hex4(std::string& line, unsigned value) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%04X ", value & 0xFFFFu);
    line += buf;
}

std::string hex4_list(const uint16_t* words, unsigned count) {
    std::string line;
    for (unsigned i = 0; i < count; ++i)
        append_hex4(line, words[i]);
    return line;
}

// A caller's list of CRCs, each element formatted by Python's "%04X " so that any
// integer is printed as it stands.
std::string python_hex4_list(nb::handle calc_crc) {
    nb::str format("%04X ");
    std::string line;
    for (nb::handle c : calc_crc) {
        nb::object text = nb::steal(PyUnicode_Format(format.ptr(), nb::make_tuple(c).ptr()));
        if (!text.is_valid()) raise_pending();
        line += nb::borrow<nb::str>(text).c_str();
    }
    return line;
}

void print_check_lines(const std::string& calculated, const frame::FrameRecord& f, bool result) {
    print_line("MASTER | CRC | Check");
    print_line(("Calculated CRCs:   " + calculated).c_str());
    print_line(("Received CRCs:     " + hex4_list(f.crcs, frame::MAX_CRC_WORDS)).c_str());
    print_control_lines(f.control);
    print_line(result ? "VALID" : "INVALID!");
}

} // namespace

// The switch as the module's namespace holds it now. Where the interpreter can watch
// a dict (3.12 on), a bool switch is remembered until the namespace changes, so the
// master's per-cycle trace checks cost no look-up; any other value is looked up and
// judged at every call, as everywhere before 3.12.
#if PY_VERSION_HEX >= 0x030C0000
namespace {
constexpr int UNKNOWN = -1;
int remembered = UNKNOWN;
bool watching = false;

int forget_switch(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) {
    remembered = UNKNOWN; // called before any change of the namespace
    return 0;
}

void watch_namespace() {
    int watcher = PyDict_AddWatcher(forget_switch);
    watching = watcher >= 0 && PyDict_Watch(watcher, state().module_dict) == 0;
    if (!watching) PyErr_Clear();
}
} // namespace
#endif

bool trace_on() {
#if PY_VERSION_HEX >= 0x030C0000
    if (remembered != UNKNOWN) return remembered == 1;
#endif
    PyObject* v = PyDict_GetItemWithError(state().module_dict, logging_name);
    if (!v) {
        PyErr_Clear();
        return false;
    }
    int t = PyObject_IsTrue(v);
    if (t < 0) {
        PyErr_Clear();
        return false;
    }
#if PY_VERSION_HEX >= 0x030C0000
    if (watching && PyBool_Check(v)) remembered = t;
#endif
    return t == 1;
}

void log_transition(nb::handle transition_name) {
    if (!trace_on()) return;
    nb::str text = nb::str(transition_name);
    std::string line = "MASTER | TRANSITION | ";
    line += text.c_str();
    print_line(line.c_str());
}

void log_generate_crc(const frame::FrameRecord& f) {
    if (!trace_on()) return;
    print_line("MASTER | CRC | Generating");
    print_hex_line("Calculated CRC[0]: ", f.crcs[0]);
    print_control_lines(f.control);
}

void log_check_crc(const uint16_t calc[frame::MAX_CRC_WORDS], const frame::FrameRecord& f,
                   bool result) {
    if (!trace_on()) return;
    print_check_lines(hex4_list(calc, frame::MAX_CRC_WORDS), f, result);
}

void init_log(nb::module_& m) {
    logging_name = PyUnicode_InternFromString(LOGGING_ATTR);
#if PY_VERSION_HEX >= 0x030C0000
    watch_namespace();
#endif
    nb::object environ = nb::module_::import_("os").attr("environ");
    nb::object value = environ.attr("get")(LOGGING_ATTR, "");
    m.attr(LOGGING_ATTR) = nb::bool_(PyObject_IsTrue(value.ptr()) == 1);

    m.def(
        "_log_transition", [](nb::handle name) { log_transition(name); },
        nb::arg("transition_name").none(), "Print a state transition to the trace.");
    // Both read the switch before looking at their arguments: with the trace off
    // they do nothing at all.
    m.def(
        "_log_generate_crc",
        [](nb::handle frame) {
            if (!trace_on()) return;
            log_generate_crc(require_instance<PyFrame>(frame, "frame").r());
        },
        nb::arg("frame").none(), "Print a CRC generation to the trace.");
    m.def(
        "_log_check_crc",
        [](nb::handle calc_crc, nb::handle frame, nb::handle result) {
            if (!trace_on()) return;
            PyFrame& fr = require_instance<PyFrame>(frame, "frame");
            print_check_lines(python_hex4_list(calc_crc), fr.r(), truthy(result));
        },
        nb::arg("calc_crc").none(), nb::arg("frame").none(), nb::arg("result").none(),
        "Print a CRC check to the trace.");
}

} // namespace tarnwick::py
