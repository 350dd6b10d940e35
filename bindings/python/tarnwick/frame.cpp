// FSOECommand, FSOEFrameControl, U16Array, FSOEFrame and the frame constants.
#include "tarnwick/frame_binding.hpp"

#include <array>
#include <optional>
#include <utility>

namespace tarnwick::py {

namespace {

struct CommandDef {
    const char* name;
    frame::Command code;
};
// Definition order of the enumeration.
constexpr std::array<CommandDef, 6> COMMANDS = {{
    {"PROCESS_DATA", frame::Command::PROCESS_DATA},
    {"RESET", frame::Command::RESET},
    {"SESSION", frame::Command::SESSION},
    {"CONNECTION", frame::Command::CONNECTION},
    {"PARAMETER", frame::Command::PARAMETER},
    {"FAILSAFE_DATA", frame::Command::FAILSAFE_DATA},
}};

constexpr unsigned COMMAND_TABLE_SIZE = 256; // command codes are one byte
PyObject* command_class = nullptr;
std::array<PyObject*, COMMAND_TABLE_SIZE> command_members{};

// A U16Array sized over storage owned by `keep`.
nb::object make_array(std::shared_ptr<void> keep, uint16_t* words, uint32_t count) {
    return nb::cast(PyU16Array{std::move(keep), words, count}, nb::rv_policy::move);
}

uint16_t words_for_length(nb::handle length) {
    // div_ceil(a, b) = -(a // -b), returned as an unsigned 16-bit word count.
    require_int(length, "length");
    nb::object words = -nb::steal(PyNumber_FloorDivide(length.ptr(), nb::int_(-2).ptr()));
    return to_u16(words);
}

uint16_t command_word_of(nb::handle command) {
    for (const CommandDef& c : COMMANDS)
        if (command.ptr() == command_members[static_cast<unsigned>(c.code)])
            return static_cast<uint16_t>(c.code);
    return to_u16(command.attr("value"));
}

// --- FSOEFrameControl ---------------------------------------------------------

void bind_control(nb::module_& m) {
    nb::class_<PyFrameControl> cls(m, "FSOEFrameControl",
                                   "View on the control words of an FSOEFrame.");
    cls.def(
        "__init__",
        [](PyFrameControl* self) {
            // A control view made on its own gets a zeroed record of its own.
            auto own = std::make_shared<frame::FrameControl>();
            frame::FrameControl* ctl = own.get();
            new (self) PyFrameControl{std::move(own), ctl};
        },
        "A zeroed control record of its own; a frame's control view is FSOEFrame.control.");
    cls.def(
        "command_is_valid",
        [](PyFrameControl& self) { return frame::command_is_valid(self.ctl->command); },
        "Indicates if the command on the structure is valid (a member of the enum)");
    cls.def(
        "increment_sequence_number",
        [](PyFrameControl& self) { frame::increment_sequence_number(*self.ctl); },
        "Step the sequence number; 0xFFFF steps to 1.");

    def_property(
        cls, "command", nb::cpp_function([](PyFrameControl& self) -> nb::object {
            PyObject* member = command_member(self.ctl->command);
            if (member) return nb::borrow(member);
            // The enumeration's own ValueError for a word that is no command.
            return nb::handle(command_class)(self.ctl->command);
        }),
        setter([](PyFrameControl& self, nb::handle v) { self.ctl->command = command_word_of(v); }),
        "FSoE command");

    using Field = uint16_t frame::FrameControl::*;
    struct FieldDef {
        const char* name;
        Field field;
        const char* doc;
    };
    const FieldDef fields[] = {
        {"sequence_number", &frame::FrameControl::sequence_number,
         "Sequence number of the frame; it does not travel, it enters the CRCs"},
        {"connection_id", &frame::FrameControl::connection_id,
         "Connection id; travels as the last two bytes of the frame"},
        {"crc0", &frame::FrameControl::crc0,
         "CRC_0 that seeds the frame's CRCs; it does not travel"},
    };
    for (const FieldDef& d : fields) {
        Field f = d.field;
        def_property(
            cls, d.name, nb::cpp_function([f](PyFrameControl& self) { return (*self.ctl).*f; }),
            setter([f](PyFrameControl& self, nb::handle v) { (*self.ctl).*f = to_u16(v); }), d.doc);
    }
}

// --- U16Array -------------------------------------------------------------------

void bind_u16_array(nb::module_& m) {
    nb::class_<PyU16Array> cls(m, "U16Array", "View on an array of unsigned 16-bit words.");
    cls.def(
        "__init__", [](PyU16Array* self) { new (self) PyU16Array{nullptr, nullptr, 0}; },
        "An empty view (count 0); a frame's views are FSOEFrame.safe_data and FSOEFrame.crcs.");
    cls.def(
        "__getitem__",
        [](PyU16Array& self, nb::handle index) {
            uint16_t i = to_u16(index);
            if (i >= self.count) raise_index_error();
            return self.pu16[i];
        },
        nb::arg("index").none(), nb::sig("def __getitem__(self, index: int) -> int"),
        "The word at `index`; IndexError from the view's count on.");
    cls.def(
        "__setitem__",
        [](PyU16Array& self, nb::handle index, nb::handle value) {
            uint16_t i = to_u16(index);
            uint16_t v = to_u16(value);
            if (i >= self.count) raise_index_error();
            self.pu16[i] = v;
        },
        nb::arg("index").none(), nb::arg("value").none(),
        nb::sig("def __setitem__(self, index: int, value: int) -> None"),
        "Store a 16-bit word at `index`; IndexError from the view's count on.");
    cls.def(
        "__delitem__",
        [](PyU16Array&, nb::handle) {
            PyErr_SetString(PyExc_NotImplementedError,
                            "Subscript deletion not supported by tarnwick.U16Array");
            raise_pending();
        },
        nb::arg("index").none(), nb::sig("def __delitem__(self, index: int) -> None"),
        "Not supported: the view's words cannot be removed.");
    cls.def(
        "clear",
        [](PyU16Array& self) {
            for (uint32_t i = 0; i < self.count; ++i)
                self.pu16[i] = 0;
        },
        "Set every word of the view to 0.");
}

// The last CRC_0 a caller hands the cyclic operations. Any integer is accepted;
// one outside 0..0xFFFF can equal no CRC, so the frame is generated or checked
// once, without stepping.
std::optional<uint16_t> last_crc0_word(nb::handle value) {
    require_int(value, "last_sent_crc_0");
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
    if (overflow || v < 0 || v > std::numeric_limits<uint16_t>::max()) return std::nullopt;
    return static_cast<uint16_t>(v);
}

// --- FSOEFrame ------------------------------------------------------------------

nb::bytes frame_bytes(const frame::FrameRecord& f) {
    uint8_t buf[frame::MAX_FRAME_BYTES];
    std::size_t len = frame::serialise(f, buf);
    return nb::bytes(reinterpret_cast<const char*>(buf), len);
}

void parse_bytes(PyFrame& self, nb::handle data) {
    require_exact(data, &PyBytes_Type, "data");
    const auto* p = reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(data.ptr()));
    std::size_t len = static_cast<std::size_t>(PyBytes_GET_SIZE(data.ptr()));
    check_size_fits(frame::size_for_length(len));
    frame::parse(self.r(), p, len);
}

void bind_frame_class(nb::module_& m) {
    nb::class_<PyFrame> cls(m, "FSOEFrame", "One FSoE safety frame.");
    cls.def(
        "__init__",
        [](PyFrame* self, nb::handle length) {
            unsigned n = frame::size_for_words(words_for_length(length));
            check_size_fits(n);
            new (self) PyFrame(n);
        },
        nb::arg("length").none() = 0, nb::sig("def __init__(self, length: int = 0) -> None"),
        "A zeroed frame for a wire length of `length` bytes: 2n + 3 bytes give n safe-data "
        "bytes (n = 2 to 16), 6 bytes give 1, up to 4 bytes give none.");
    cls.def_prop_ro(
        "control", [](PyFrame& self) { return self.control; },
        nb::sig("def control(self) -> FSOEFrameControl"),
        "View on the control words: command, sequence number, connection id, CRC_0");
    cls.def_prop_ro(
        "safe_data", [](PyFrame& self) { return self.safe_data; },
        nb::sig("def safe_data(self) -> U16Array"),
        "View on the 8 safe-data words; byte 2k is the low byte of word k");
    cls.def_prop_ro(
        "crcs", [](PyFrame& self) { return self.crcs; }, nb::sig("def crcs(self) -> U16Array"),
        "View on the 8 CRC words; CRC_i protects safe-data bytes 2i and 2i + 1");
    def_property(cls, "safe_data_size_bytes",
                 nb::cpp_function([](PyFrame& self) { return self.r().safe_data_size; }),
                 setter([](PyFrame& self, nb::handle value) {
                     require_int(value, "value");
                     int above = PyObject_RichCompareBool(
                         value.ptr(), nb::int_(frame::MAX_DATA_BYTES).ptr(), Py_GT);
                     if (above < 0) raise_pending();
                     if (above) check_size_fits(frame::MAX_DATA_BYTES + 1);
                     self.r().safe_data_size = to_u16(value);
                 }),
                 "Number of SafeData bytes");
    cls.def("_frame_from_array", &parse_bytes, nb::arg("data").none(),
            nb::sig("def _frame_from_array(self, data: bytes) -> None"),
            "Convert bytes to this FSOE Frame structure");
    cls.def(
        "frame_to_array", [](PyFrame& self) { return frame_bytes(self.r()); },
        "Convert frame to bytes");
    cls.def(
        "generate_crcs", [](PyFrame& self) { generate_crcs_traced(self.r()); },
        "Generate the frame's CRCs. Does not take into account crc0 matching generation.");
    cls.def(
        "check_crcs", [](PyFrame& self) { return check_crcs_traced(self.r()); },
        "Check the frame's CRCs. Does not take into account crc0 matching generation.");
    cls.def(
        "calc_crc0", [](PyFrame& self) { return frame::calc_crc0(self.r()); },
        "Calculate crc0 for the current safe-data and frame control");
    cls.def(
        "generate_crcs_cyclic",
        [](PyFrame& self, nb::handle last) {
            if (std::optional<uint16_t> word = last_crc0_word(last))
                generate_crcs_cyclic_traced(self.r(), *word);
            else
                generate_crcs_traced(self.r());
        },
        nb::arg("last_sent_crc_0").none(),
        nb::sig("def generate_crcs_cyclic(self, last_sent_crc_0: int) -> None"),
        "Generate the CRCs, stepping the sequence number while CRC_0 matches the last one sent.");
    cls.def(
        "check_crcs_cyclic",
        [](PyFrame& self, nb::handle last) {
            std::optional<uint16_t> word = last_crc0_word(last);
            return word ? check_crcs_cyclic_traced(self.r(), *word) : check_crcs_traced(self.r());
        },
        nb::arg("last_sent_crc_0").none(),
        nb::sig("def check_crcs_cyclic(self, last_sent_crc_0: int) -> bool"),
        "Check the CRCs, stepping the expected sequence number while CRC_0 matches the last one "
        "sent.");
    // Class-level constructor from bytes; cls(len(data)) so subclasses build themselves.
    nb::object from_array = nb::cpp_function(
        [](nb::handle cls_, nb::handle data) {
            require_exact(data, &PyBytes_Type, "data");
            nb::object f = nb::borrow(cls_)(PyBytes_GET_SIZE(data.ptr()));
            f.attr("_frame_from_array")(data);
            return f;
        },
        nb::arg("cls"), nb::arg("data").none(), nb::name("frame_from_array"), nb::scope(cls),
        nb::sig("def frame_from_array(cls, data: bytes) -> FSOEFrame"),
        "Convert bytes to a new FSOE Frame");
    nb::setattr(cls, "frame_from_array",
                nb::module_::import_("builtins").attr("classmethod")(from_array));
}

void bind_command(nb::module_& m) {
    nb::object enum_cls = nb::module_::import_("enum").attr("Enum");
    nb::list members;
    for (const CommandDef& c : COMMANDS)
        members.append(nb::make_tuple(c.name, static_cast<unsigned>(c.code)));
    nb::object cls = enum_cls("FSOECommand", members, nb::arg("module") = "tarnwick",
                              nb::arg("qualname") = "FSOECommand");
    cls.attr("__doc__") = "FSoE command codes.";
    for (const CommandDef& c : COMMANDS)
        command_members[static_cast<unsigned>(c.code)] =
            nb::object(cls.attr(c.name)).release().ptr();
    command_class = cls.inc_ref().ptr();

    nb::object has_value = nb::cpp_function(
        [](nb::handle, nb::handle value) {
            require_int(value, "value");
            int overflow = 0;
            long long v = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
            if (v == -1 && PyErr_Occurred()) raise_pending();
            return overflow == 0 && v >= 0 && v < static_cast<long long>(COMMAND_TABLE_SIZE) &&
                   frame::command_is_valid(static_cast<uint16_t>(v));
        },
        nb::arg("cls"), nb::arg("value").none(), nb::name("has_value"), nb::scope(cls),
        nb::sig("def has_value(cls, value: int) -> bool"),
        "Checks if the value is in one of the members of the enum");
    nb::setattr(cls, "has_value", nb::module_::import_("builtins").attr("classmethod")(has_value));
    m.attr("FSOECommand") = cls;
}

} // namespace

PyFrame::PyFrame(unsigned safe_data_size) : PyFrame(std::make_shared<frame::FrameRecord>()) {
    frame::clear(*rec);
    rec->safe_data_size = static_cast<uint16_t>(safe_data_size);
}

PyFrame::PyFrame(std::shared_ptr<frame::FrameRecord> record) : rec(std::move(record)) {
    control = nb::cast(PyFrameControl{rec, &rec->control}, nb::rv_policy::move);
    safe_data = make_array(rec, rec->safe_data, frame::MAX_DATA_WORDS);
    crcs = make_array(rec, rec->crcs, frame::MAX_CRC_WORDS);
}

PyObject* command_member(uint16_t word) {
    return word < COMMAND_TABLE_SIZE ? command_members[word] : nullptr;
}

void check_size_fits(unsigned n) {
    if (n > frame::MAX_DATA_BYTES)
        throw nb::value_error("Frame structure cannot handle more than 16 bytes");
}

void generate_crcs_traced(frame::FrameRecord& f) {
    frame::generate_crcs(f);
    log_generate_crc(f);
}

namespace {
bool check_with_crc0_traced(const frame::FrameRecord& f, uint16_t crc0) {
    uint16_t calc[frame::MAX_CRC_WORDS];
    bool ok = frame::check_crcs(f, calc, crc0);
    log_check_crc(calc, f, ok);
    return ok;
}
} // namespace

bool check_crcs_traced(const frame::FrameRecord& f) {
    return check_with_crc0_traced(f, frame::calc_crc0(f));
}

void generate_crcs_cyclic_traced(frame::FrameRecord& f, uint16_t last_sent_crc_0) {
    frame::generate_crcs_cyclic(f, last_sent_crc_0, generate_crcs_traced);
}

bool check_crcs_cyclic_traced(frame::FrameRecord& f, uint16_t last_sent_crc_0) {
    return check_with_crc0_traced(f, frame::step_past_repeated_crc0(f, last_sent_crc_0));
}

void init_frame(nb::module_& m) {
    m.attr("BYTES_PER_WORD") = frame::BYTES_PER_WORD;
    m.attr("MAX_DATA_WORDS") = frame::MAX_DATA_WORDS;
    m.attr("MAX_DATA_BYTES") = frame::MAX_DATA_BYTES;
    m.attr("MAX_CRC_WORDS") = frame::MAX_CRC_WORDS;
    bind_command(m);
    bind_control(m);
    bind_u16_array(m);
    bind_frame_class(m);
}

} // namespace tarnwick::py
