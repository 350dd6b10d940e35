// The master's connection records: Session, Node and ApplicationParameter.
#include "tarnwick/errors_binding.hpp"
#include "tarnwick/handler_binding.hpp"

#include <string>

namespace tarnwick::py {

namespace {

constexpr const char* SESSION_FIELD_NAMES[SESSION_FIELD_COUNT] = {
    "slave_address",
    "session_id",
    "error_id",
    "connection_id",
    "comm_parameter_size_bytes",
    "watchdog_ms",
    "app_parameter_size_bytes",
};
constexpr const char* SESSION_FIELD_DOCS[SESSION_FIELD_COUNT] = {
    "Slave address of the connection",
    "This node's session id",
    "Last FSoE error code (an FSOEError value)",
    "FSoE connection id",
    "Length in bytes of the communication parameters",
    "Watchdog time in milliseconds",
    "Length in bytes of the application parameters",
};

// A new 16-bit dynamically mappable item.
nb::object new_u16_item(uint16_t initial) {
    nb::handle cls(reinterpret_cast<PyObject*>(data_classes().dynamic_item));
    return cls(initial, nb::handle(data_type_member(data::DataType::UINT16)));
}

// --- Session --------------------------------------------------------------------------

nb::object session_error(PySession& s) {
    uint16_t code = s.get(SessionField::error_id);
    PyObject* member = fsoe_error_member(code);
    if (member) return nb::borrow(member);
    return nb::module_::import_("tarnwick").attr("FSOEError")(code); // its own ValueError
}

void bind_session(nb::module_& m) {
    nb::class_<PySession> cls(m, "Session",
                              "FSoE Session structure\n\n    Holds the current known data of the "
                              "FSoE connection\n    ");
    cls.def(
        "__init__",
        [](PySession* self, nb::handle slave_address, nb::handle connection_id,
           nb::handle watchdog_ms) {
            uint16_t a = to_u16(slave_address), c = to_u16(connection_id), w = to_u16(watchdog_ms);
            new (self) PySession(std::make_shared<tarnwick::Session>(), a, c, w);
        },
        nb::arg("slave_address").none(), nb::arg("connection_id").none(),
        nb::arg("watchdog_ms").none(),
        nb::sig("def __init__(self, slave_address: int, connection_id: int, watchdog_ms: int) "
                "-> None"),
        "Connection data of one node; every value is a 16-bit DynamicMappableItem.");
    for (unsigned i = 0; i < SESSION_FIELD_COUNT; ++i) {
        std::string sig =
            std::string("def ") + SESSION_FIELD_NAMES[i] + "(self) -> DynamicMappableItem";
        cls.def_prop_ro(
            SESSION_FIELD_NAMES[i], [i](PySession& s) { return s.items[i]; }, nb::sig(sig.c_str()),
            SESSION_FIELD_DOCS[i]);
    }
    def_property(cls, "error", nb::cpp_function([](PySession& s) { return session_error(s); }),
                 setter([](PySession& s, nb::handle error) {
                     s.raw[static_cast<unsigned>(SessionField::error_id)]->set(error.attr("value"));
                 }),
                 "Last FSoE error code");
}

// --- Node -------------------------------------------------------------------------------

PyNode make_node(const NodeArgs& args, std::shared_ptr<tarnwick::Node> core) {
    PyNode n{};
    std::shared_ptr<frame::FrameRecord> record(core, &core->frame);
    frame::clear(*record);
    std::shared_ptr<tarnwick::Session> session(core, &core->session);
    n.frame = nb::cast(PyFrame(std::move(record)), nb::rv_policy::move);
    n.session = nb::cast(
        PySession(std::move(session), args.slave_address, args.connection_id, args.watchdog_ms),
        nb::rv_policy::move);
    n.dictionary_map = nb::type<PyDictionaryMap>()(args.dictionary, args.item_types_accepted);
    n.dynamic_map = nb::type<PyDynamicMap>()();
    n.application_parameters = nb::borrow(args.application_parameters);
    n.core = std::move(core);
    n.core->last_crc0_sent.reset();
    n.rec = &n.core->frame;
    n.sess = nb::inst_ptr<PySession>(n.session);
    n.map = nb::inst_ptr<PyDictionaryMap>(n.dictionary_map);
    n.dyn = nb::inst_ptr<PyDynamicMap>(n.dynamic_map);
    return n;
}

void node_init(PyNode* self, nb::handle slave_address, nb::handle connection_id,
               nb::handle watchdog_ms, nb::handle application_parameters, nb::handle dictionary,
               nb::handle item_types_accepted) {
    NodeArgs args{to_u16(slave_address),
                  to_u16(connection_id),
                  to_u16(watchdog_ms),
                  application_parameters,
                  dictionary,
                  item_types_accepted};
    require_exact(application_parameters, &PyList_Type, "application_parameters");
    if (!PyObject_TypeCheck(dictionary.ptr(), data_classes().dictionary))
        raise_arg_type("dictionary", data_classes().dictionary, dictionary.ptr());
    require_exact(item_types_accepted, &PySet_Type, "item_types_accepted");
    new (self) PyNode(make_node(args, std::make_shared<tarnwick::Node>()));
}

void bind_node(nb::module_& m) {
    nb::class_<PyNode> cls(m, "Node",
                           "FSoE Node\n\n    Holds information relating to one of the FSoE Nodes\n"
                           "    ");
    cls.def("__init__", &node_init, nb::arg("slave_address").none(),
            nb::arg("connection_id").none(), nb::arg("watchdog_ms").none(),
            nb::arg("application_parameters").none(), nb::arg("dictionary").none(),
            nb::arg("item_types_accepted").none(),
            nb::sig("def __init__(self, slave_address: int, connection_id: int, watchdog_ms: int, "
                    "application_parameters: list[ApplicationParameter] | "
                    "list[DynamicMappableItem], dictionary: Dictionary, "
                    "item_types_accepted: set[type[DictionaryItem]]) -> None"),
            "One side of the connection: a new frame, a Session from the three numbers, a "
            "DictionaryMap over `dictionary` for the accepted item classes, an empty dynamic map "
            "and the parameter list itself.");
    cls.def_prop_ro(
        "frame", [](PyNode& n) { return n.frame; }, nb::sig("def frame(self) -> FSOEFrame"),
        "The node's current frame: the request being built (master), the last reply (slave)");
    cls.def_prop_ro(
        "session", [](PyNode& n) { return n.session; }, nb::sig("def session(self) -> Session"),
        "The node's connection data");
    cls.def_prop_ro(
        "dictionary_map", [](PyNode& n) { return n.dictionary_map; },
        nb::sig("def dictionary_map(self) -> DictionaryMap"),
        "Map of the safe data this node sends");
    cls.def_prop_ro(
        "_dynamic_map", [](PyNode& n) { return n.dynamic_map; },
        nb::sig("def _dynamic_map(self) -> FSOEDynamicMap"),
        "Connection data this node sends or receives before the Data state");
    cls.def_prop_ro(
        "application_parameters", [](PyNode& n) { return n.application_parameters; },
        nb::sig("def application_parameters(self) -> list[DynamicMappableItem]"),
        "Application parameters: those the master sends, or the slave's echo of them");
    def_property(cls, "_last_crc0_sent", nb::cpp_function([](PyNode& n) -> nb::object {
                     if (!n.last_crc0_sent()) return nb::none();
                     return nb::int_(*n.last_crc0_sent());
                 }),
                 setter([](PyNode& n, nb::handle v) {
                     if (v.is_none())
                         n.last_crc0_sent().reset();
                     else
                         n.last_crc0_sent() = to_u16(v);
                 }),
                 "CRC_0 of the last frame this node sent, or None");
    cls.def("start", &PyNode::start, "Procedures required before the FSoE is initialized");
    cls.def("stop", &PyNode::stop, "Procedures required when the FSoE is stopped");
}

// --- ApplicationParameter ------------------------------------------------------------------

// Any integer is compared: one outside the 16-bit range is simply no valid size.
nb::object data_type_for_size(nb::handle n_bytes) {
    int overflow = 0;
    long long n = PyLong_AsLongLongAndOverflow(n_bytes.ptr(), &overflow);
    if (n == -1 && PyErr_Occurred()) raise_pending();
    data::DataType t;
    switch (overflow ? 0 : n) {
    case 1:
        t = data::DataType::UINT8;
        break;
    case 2:
        t = data::DataType::UINT16;
        break;
    case 4:
        t = data::DataType::UINT32;
        break;
    default:
        throw nb::value_error("n_bytes must be 1, 2 or 4, or type be specified");
    }
    return nb::borrow(data_type_member(t));
}

void parameter_init(PyApplicationParameter* self, nb::handle name, nb::handle initial_value,
                    nb::handle n_bytes, nb::handle data_type) {
    require_exact(name, &PyUnicode_Type, "name");
    if (!n_bytes.is_none()) require_int(n_bytes, "n_bytes");
    if (data_type.is_none() && n_bytes.is_none())
        throw nb::value_error(
            "data type or number of bytes for application parameter must be specified");
    nb::object type = nb::borrow(data_type);
    nb::object size = nb::borrow(n_bytes);
    if (data_type.is_none()) {
        type = data_type_for_size(n_bytes);
    } else if (n_bytes.is_none()) {
        size = type.attr("bytes");
        if (!size.is_none() && !PyLong_Check(size.ptr())) raise_expected("int", size.ptr());
    }
    if (!size.equal(type.attr("bytes")))
        throw nb::value_error("n_bytes must be equal to the number of bytes of the data type");
    new (self) PyApplicationParameter(initial_value, type);
    self->name = nb::borrow(name);
    self->owner = nb::none();
}

bool owner_running(PyApplicationParameter& p) {
    if (!p.bound) return false;
    nb::object owner = PyWeakref_Check(p.owner.ptr()) ? p.owner() : p.owner;
    if (owner.is_none()) return false; // the handler is gone
    return truthy(owner.attr("running"));
}

void parameter_set(PyApplicationParameter& p, nb::handle value) {
    if (owner_running(p))
        raise_running("Application parameters cannot be changed while the master is running");
    p.set(value);
}

void bind_application_parameter(nb::module_& m) {
    nb::class_<PyApplicationParameter, PyDynamicItem> cls(
        m, "ApplicationParameter",
        "Application Parameter.\n\n    Parameters that the master sets to the Slave during the "
        "state Parameter.\n    ");
    cls.def("__init__", &parameter_init, nb::arg("name").none(), nb::arg("initial_value").none(),
            nb::arg("n_bytes").none() = nb::none(), nb::arg("data_type").none() = nb::none(),
            nb::sig("def __init__(self, name: str, initial_value: DICTIONARY_VALUE_TYPES, "
                    "n_bytes: int | None = None, data_type: DataType | None = None) -> None"),
            "An application parameter of `n_bytes` bytes (1, 2 or 4) or of `data_type`.");
    cls.def_prop_ro(
        "name", [](PyApplicationParameter& p) { return p.name; }, nb::sig("def name(self) -> str"),
        "Name of the parameter");
    cls.def("set", &parameter_set, nb::arg("value").none(),
            nb::sig("def set(self, value: DICTIONARY_VALUE_TYPES) -> None"),
            "Set the parameter's value");
    def_property(cls, "value", nb::cpp_function([](PyApplicationParameter& p) { return p.get(); }),
                 setter(&parameter_set), "Value of the parameter");
    cls.def(
        "_set_use_by_master",
        [](PyApplicationParameter& p, nb::handle master) {
            if (p.bound) {
                PyErr_SetString(PyExc_PermissionError,
                                "Application parameter already used by a master");
                raise_pending();
            }
            PyObject* ref = PyWeakref_NewRef(master.ptr(), nullptr);
            if (ref) {
                p.owner = nb::steal(ref);
            } else {
                PyErr_Clear(); // not weakly referenceable: keep it alive instead
                p.owner = nb::borrow(master);
            }
            p.bound = true;
        },
        nb::arg("master").none(),
        "Set the master that uses this application parameter.\n\nCan only be set once, and "
        "cannot be changed after that.");
    mark_native_dynamic_item_type(cls);
}

} // namespace

PySession::PySession(std::shared_ptr<tarnwick::Session> values, uint16_t slave_address,
                     uint16_t connection_id, uint16_t watchdog_ms)
    : core(std::move(values)) {
    const uint16_t initial[SESSION_FIELD_COUNT] = {slave_address, 0, 0, connection_id, 0,
                                                   watchdog_ms,   0};
    for (unsigned i = 0; i < SESSION_FIELD_COUNT; ++i) {
        items[i] = new_u16_item(initial[i]);
        raw[i] = nb::inst_ptr<PyDynamicItem>(items[i]);
        raw[i]->view(&core->raw[i], core);
    }
}

nb::object new_node(const NodeArgs& args, std::shared_ptr<tarnwick::Node> core) {
    return nb::cast(make_node(args, std::move(core)), nb::rv_policy::move);
}

void PyNode::start() {
    map->lock(true);
    nb::setattr(frame, "safe_data_size_bytes", nb::int_(map->safety_bytes()));
}

void PyNode::stop() {
    map->lock(false);
}

void init_records(nb::module_& m) {
    bind_session(m);
    bind_node(m);
    bind_application_parameter(m);
}

} // namespace tarnwick::py
