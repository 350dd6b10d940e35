// The hooks of the library master that the MasterHandler implements: its reports
// go to the error callback, its trace to the module's trace, its session ids come
// from Python's random module, its process data and connection data are the typed
// Python items of the nodes' maps, its watchdog is the Watchdog thread.
//
// Every hook runs inside a handler call, under the handler's event lock and with
// the interpreter lock held. The error report may run another event through the
// callback (see the re-entrancy rule of handler.cpp); the other hooks run none.
#include "tarnwick/handler_binding.hpp"

#include <stdexcept>

namespace tarnwick::py {

namespace {

constexpr int SESSION_ID_BITS = 16;
PyObject* random_bits = nullptr; // random.getrandbits: seedable by the application

// The Parameter state maps the communication parameters first. Parameters beyond
// those the library master holds (more than 47) cannot all be mapped: they are
// refused there as the full dynamic map refuses them.
void refuse_unmapped_parameters(PyNode& node, std::size_t held) {
    if (static_cast<std::size_t>(nb::len(node.application_parameters)) > held)
        raise_dynamic_map_full();
}

// The Python item whose value lives at `raw`: one of the node's session items or
// application parameters (they view the Master's records).
nb::handle item_at(PyNode& node, const uint32_t* raw) {
    for (unsigned i = 0; i < SESSION_FIELD_COUNT; ++i)
        if (&node.sess->raw[i]->raw() == raw) return node.sess->items[i];
    for (nb::handle p : node.application_parameters)
        if (PyObject_TypeCheck(p.ptr(), data_classes().dynamic_item) &&
            &nb::inst_ptr<PyDynamicItem>(p)->raw() == raw)
            return p;
    throw std::logic_error("The master mapped a value no item of the node holds");
}

} // namespace

void HandlerHooks::on_error(Master& m, Transition t, const char* message) {
    if (logging_bridge_on()) bridge_error(h_, t, message, reported_error_code(m, t));
    report_error(h_, transition_name(t), nb::str(message));
}

void HandlerHooks::on_state_change(Master&, StateId, StateId to) {
    enter_state(h_, to);
}

void HandlerHooks::on_transition(const Master&, Transition t) {
    if (logging_bridge_on()) bridge_transition(h_, t);
    log_transition(transition_name(t));
}

void HandlerHooks::on_crc_generated(const frame::FrameRecord& f) {
    log_generate_crc(f);
}

void HandlerHooks::on_crc_checked(const uint16_t* calculated, const frame::FrameRecord& f,
                                  bool ok) {
    log_check_crc(calculated, f, ok);
}

uint16_t HandlerHooks::next_session_id() {
    return to_u16(nb::handle(random_bits)(SESSION_ID_BITS));
}

// --- Process data ----------------------------------------------------------------------

void HandlerHooks::pack_outputs(Master&, frame::FrameRecord& request) {
    h_.master->map->set_data_to_frame(request);
}

void HandlerHooks::unpack_inputs(Master&, const frame::FrameRecord& reply) {
    h_.slave->map->get_data_from_frame(reply);
}

void HandlerHooks::inputs_to_fail_safe(Master&) {
    set_inputs_to_failsafe(*h_.dict);
}

// --- Watchdog ----------------------------------------------------------------------------

void HandlerHooks::arm(Micros) {
    if (!h_.wd) return;
    h_.wd->activate();
    h_.wd->reset();
}

void HandlerHooks::disarm() {
    if (h_.wd) h_.wd->deactivate();
}

// --- Connection data ---------------------------------------------------------------------

PyNode& HandlerHooks::node_of(const Node& n) const {
    return &n == &h_.core->own() ? *h_.master : *h_.slave;
}

void HandlerHooks::clear(Master&, Node& n) {
    node_of(n).dyn->clear();
}

void HandlerHooks::add(Master&, Node& n, const data::DynamicItem& item) {
    PyNode& node = node_of(n);
    if (item.raw == &n.session.raw[static_cast<unsigned>(SessionField::comm_parameter_size_bytes)])
        refuse_unmapped_parameters(node, n.parameters.size());
    node.dyn->add(item_at(node, item.raw));
}

void HandlerHooks::set_data_to_frame(Master&, Node& n, frame::FrameRecord& f,
                                     uint16_t valid_data_bytes) {
    node_of(n).dyn->set_data_to_frame(f, valid_data_bytes);
}

void HandlerHooks::get_data_from_frame(Master&, Node& n, const frame::FrameRecord& f,
                                       uint16_t valid_data_bytes) {
    node_of(n).dyn->get_data_from_frame(f, valid_data_bytes);
}

bool HandlerHooks::pending(const Master&, const Node& n) {
    return node_of(n).dyn->pending();
}

bool HandlerHooks::echo_matches(Master&) {
    return h_.slave->dyn->is_safedata_correct(*h_.master->dyn);
}

// --- An application's subclass of a state ------------------------------------------------

// The built-in state a returned class stands for (Custom for one deriving from
// none); the class itself waits for the change of state, or for on_stay().
StateId kept_for_change(PyMasterHandler& h, nb::object cls) {
    StateId next = state_kind_of_class(cls);
    h.next_class = std::move(cls);
    return next;
}

StateId SubclassOverride::on_event(Master&, Event e) {
    nb::object state = h_.state; // the operation may replace it
    return kept_for_change(h_, state.attr(event_method_name(e))());
}

bool SubclassOverride::check_received_crcs(Master&) {
    nb::object state = h_.state;
    return truthy(state.attr("_check_received_crcs")());
}

StateId SubclassOverride::run_transition(Master&, Transition t) {
    nb::object state = h_.state;
    return kept_for_change(h_, state.attr(action_method_name(t).c_str())());
}

void SubclassOverride::map_data_frame(Master&) {
    nb::object state = h_.state;
    state.attr("map_frame")();
}

// Another class of the same state (a sibling subclass, another custom class) is
// entered as `_set_next_state` enters it.
void SubclassOverride::on_stay(Master&) {
    if (!h_.next_class.is_valid()) return;
    nb::object cls = std::move(h_.next_class);
    h_.next_class = nb::object();
    set_next_state(h_, cls, nb::find(&h_));
}

void HandlerHooks::install(Master& m) {
    MasterHooks hooks;
    hooks.listener = this;
    hooks.trace = this;
    hooks.session_ids = this;
    hooks.process_data = this;
    hooks.watchdog = this;
    hooks.maps = this;
    m.set_hooks(hooks);
}

void init_handler_hooks() {
    random_bits = nb::object(nb::module_::import_("random").attr("getrandbits")).release().ptr();
}

} // namespace tarnwick::py
