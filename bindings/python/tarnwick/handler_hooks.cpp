// The hooks of the library master that the MasterHandler implements: its reports
// go to the error callback, its trace to the module's trace, its session ids come
// from Python's random module.
//
// Every hook runs inside a handler call, under the handler's event lock and with
// the interpreter lock held. The error report may run another event through the
// callback (see the re-entrancy rule of handler.cpp); the other hooks run none.
#include "tarnwick/handler_binding.hpp"

namespace tarnwick::py {

namespace {

constexpr int SESSION_ID_BITS = 16;
PyObject* random_bits = nullptr; // random.getrandbits: seedable by the application

} // namespace

void HandlerHooks::on_error(Master&, Transition t, const char* message) {
    report_error(h_, transition_name(t), nb::str(message));
}

void HandlerHooks::on_transition(const Master&, Transition t) {
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

void HandlerHooks::install(Master& m) {
    MasterHooks hooks;
    hooks.listener = this;
    hooks.trace = this;
    hooks.session_ids = this;
    m.set_hooks(hooks);
}

void init_handler_hooks() {
    random_bits = nb::object(nb::module_::import_("random").attr("getrandbits")).release().ptr();
}

} // namespace tarnwick::py
