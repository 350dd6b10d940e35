// The Master's transition actions, the request each state prepares, the facts the
// check tables ask about a reply, the reports and the process-data images.
#include "core/master/decide.hpp"
#include "core/master/reports.hpp"
#include "tarnwick/master.hpp"

#include "core/master/master_notes.hpp"

#include <algorithm>
#include <cstring>
#include <numeric>

namespace tarnwick {

namespace {

using states::ActionKind;

// The communication parameters the master sends: its 2-byte watchdog time.
constexpr uint16_t COMM_PARAMETER_BYTES = 2;
// The Parameter state's session fields, in the order they travel.
constexpr SessionField PARAMETER_FIELDS[] = {SessionField::comm_parameter_size_bytes,
                                             SessionField::watchdog_ms,
                                             SessionField::app_parameter_size_bytes};

void set_command(frame::FrameRecord& f, frame::Command c) {
    f.control.command = static_cast<uint16_t>(c);
}

} // namespace

// The facts the check tables ask about the reply in the slave node's frame.
class ReplyChecks final : public states::ReplyFacts {
  public:
    explicit ReplyChecks(Master& m) : m_(m) {}
    bool command_valid() override { return frame::command_is_valid(reply().control.command); }
    uint16_t command() override { return reply().control.command; }
    bool connection_id_matches() override {
        return reply().control.connection_id == m_.own_.session.get(SessionField::connection_id);
    }
    bool data_correct() override { return m_.echo_matches(); }
    bool crcs_ok() override {
        return m_.override_ ? m_.override_->check_received_crcs(m_) : m_.check_received_crcs();
    }
    bool pending() override { return m_.dynamic_map_pending(); }
    bool second_session_frame_sent() override { return m_.second_session_frame_sent_; }

  private:
    const frame::FrameRecord& reply() const { return m_.slave_.frame; }
    Master& m_;
};

// --- A state override's defaults: the built-in behaviour --------------------------------

StateId StateOverride::on_event(Master& m, Event e) {
    return m.builtin_event(e);
}
bool StateOverride::check_received_crcs(Master& m) {
    return m.check_received_crcs();
}
StateId StateOverride::run_transition(Master& m, Transition t) {
    return m.run_transition(t);
}
void StateOverride::map_data_frame(Master& m) {
    m.map_frame(StateId::Data);
}

// --- Decisions, reports, checks --------------------------------------------------------

Transition Master::decide(Event e) {
    switch (e) {
    case Event::FrameReceived: {
        ReplyChecks checks(*this);
        return states::decide_frame(state_, checks);
    }
    case Event::WatchdogExpired:
        return states::watchdog_transition(state_);
    case Event::ResetConnection:
        break;
    }
    return states::reset_transition(state_);
}

void Master::report(Transition t) {
    states::Report r = states::info(t).report;
    if (r == states::Report::None) return;
    states::ReportFacts facts{slave_.frame.control.connection_id,
                              own_.session.get(SessionField::connection_id),
                              slave_.session.get(SessionField::error_id)};
    char text[states::REPORT_TEXT_BYTES];
    const char* message = states::report_text(r, facts, text);
    note_error(t, message);
    if (hooks_.listener) hooks_.listener->on_error(*this, t, message);
}

// The slave never repeats its own last CRC_0 either: the expected sequence number
// steps past it the same way before the check.
bool Master::check_received_crcs() {
    frame::FrameRecord& reply = slave_.frame;
    uint16_t crc0 = slave_.last_crc0_sent
                        ? frame::step_past_repeated_crc0(reply, *slave_.last_crc0_sent)
                        : frame::calc_crc0(reply);
    uint16_t calculated[frame::MAX_CRC_WORDS];
    bool ok = frame::check_crcs(reply, calculated, crc0);
    if (hooks_.trace) hooks_.trace->on_crc_checked(calculated, reply, ok);
    return ok;
}

bool Master::dynamic_map_pending() const {
    return map_pending(own_) || map_pending(slave_);
}

// --- Transition actions ----------------------------------------------------------------

StateId Master::run_transition(Transition t) {
    note_transition(t);
    if (hooks_.trace) hooks_.trace->on_transition(*this, t);
    return run_action(t);
}

StateId Master::run_action(Transition t) {
    const states::TransitionInfo& info = states::info(t);
    switch (info.kind) {
    case ActionKind::EnterSession:
        return enter_session();
    case ActionKind::ResetStay:
        restart_reset_frames();
        return StateId::Reset;
    case ActionKind::ResetStart:
        restart_reset_frames();
        arm_watchdog();
        return StateId::Reset;
    case ActionKind::Fail:
        return reset_handler(static_cast<uint16_t>(info.error));
    case ActionKind::SessionStay1:
        second_session_frame_sent_ = true;
        break;
    case ActionKind::SessionOk:
        connection_map_frame();
        break;
    case ActionKind::ConnectionOk:
        parameter_map_frame();
        break;
    case ActionKind::DataOk1:
        unpack_inputs();
        break;
    case ActionKind::DataOk2:
        inputs_to_fail_safe();
        break;
    case ActionKind::SlaveReset:
        reset_slave_sequence_ = true;
        return reset_session();
    case ActionKind::Stay:
    case ActionKind::ParameterOk:
        break;
    }
    arm_watchdog();
    return info.next;
}

StateId Master::enter_session() {
    create_session_id();
    session_map_frame();
    arm_watchdog();
    return StateId::Session;
}

StateId Master::reset_handler(uint16_t error_code) {
    restart_frame_counters();
    data_command_ = frame::Command::FAILSAFE_DATA;
    inputs_to_fail_safe();
    own_.session.put(SessionField::error_id, error_code);
    reset_map_frame();
    arm_watchdog();
    return StateId::Reset;
}

StateId Master::reset_session() {
    restart_frame_counters();
    data_command_ = frame::Command::FAILSAFE_DATA;
    inputs_to_fail_safe();
    create_session_id();
    session_map_frame();
    arm_watchdog();
    return StateId::Session;
}

// Fresh Reset frames carrying code 0; the safe inputs are left as they are.
void Master::restart_reset_frames() {
    restart_frame_counters();
    data_command_ = frame::Command::FAILSAFE_DATA;
    own_.session.put(SessionField::error_id, 0);
    reset_map_frame();
}

// CRC_0 seeds to 0 and sequence numbers to 1: both sides start counting again.
void Master::restart_frame_counters() {
    for (Node* n : {&own_, &slave_}) {
        n->frame.control.crc0 = 0;
        n->frame.control.sequence_number = 1;
    }
}

void Master::create_session_id() {
    second_session_frame_sent_ = false;
    uint16_t id =
        hooks_.session_ids ? hooks_.session_ids->next_session_id() : next_own_session_id();
    own_.session.put(SessionField::session_id, id);
}

void Master::arm_watchdog() {
    watchdog_armed_ = true;
    // Saturates instead of wrapping for a clock near its end.
    watchdog_deadline_ = now_ + std::min(watchdog_timeout_, ~Micros{0} - now_);
    if (hooks_.watchdog) hooks_.watchdog->arm(now_);
}

void Master::disarm_watchdog() {
    watchdog_armed_ = false;
    if (hooks_.watchdog) hooks_.watchdog->disarm();
}

// --- The requests of each state --------------------------------------------------------

void Master::map_frame(StateId s) {
    switch (s) {
    case StateId::Reset:
        return reset_map_frame();
    case StateId::Session:
        return session_map_frame();
    case StateId::Connection:
        return connection_map_frame();
    case StateId::Parameter:
        return parameter_map_frame();
    case StateId::Data:
        return data_map_frame();
    case StateId::Custom:
        break; // a custom state builds its request through the override
    }
}

void Master::clear_dynamic_maps() {
    map_clear(own_);
    map_clear(slave_);
}

void Master::reset_map_frame() {
    set_command(own_.frame, frame::Command::RESET);
    clear_dynamic_maps();
    map_add(own_, own_.session.item(SessionField::error_id));
}

void Master::session_map_frame() {
    set_command(own_.frame, frame::Command::SESSION);
    clear_dynamic_maps();
    map_add(own_, own_.session.item(SessionField::session_id));
}

// The slave echoes the connection id and the slave address.
void Master::connection_map_frame() {
    set_command(own_.frame, frame::Command::CONNECTION);
    clear_dynamic_maps();
    for (Node* n : {&own_, &slave_}) {
        map_add(*n, n->session.item(SessionField::connection_id));
        map_add(*n, n->session.item(SessionField::slave_address));
    }
}

// The slave echoes the parameter sizes, the watchdog time and the parameters; the
// echo's records start from 0 so that nothing of a previous connection is compared.
void Master::parameter_map_frame() {
    set_command(own_.frame, frame::Command::PARAMETER);
    set_parameter_sizes();
    clear_parameter_echo();
    map_parameters(own_);
    map_parameters(slave_);
}

void Master::set_parameter_sizes() {
    unsigned total = std::accumulate(parameter_widths_.begin(), parameter_widths_.end(), 0u);
    own_.session.put(SessionField::comm_parameter_size_bytes, COMM_PARAMETER_BYTES);
    own_.session.put(SessionField::app_parameter_size_bytes, static_cast<uint16_t>(total));
}

void Master::clear_parameter_echo() {
    for (SessionField f : PARAMETER_FIELDS)
        slave_.session.put(f, 0);
    std::fill(slave_.parameters.begin(), slave_.parameters.end(), 0);
}

void Master::map_parameters(Node& n) {
    map_clear(n);
    for (SessionField f : PARAMETER_FIELDS)
        map_add(n, n.session.item(f));
    for (std::size_t i = 0; i < n.parameters.size(); ++i)
        map_add(n, {&n.parameters[i], parameter_widths_[i], parameter_types_[i]});
}

// --- The dynamic maps ------------------------------------------------------------------

void Master::map_clear(Node& n) {
    if (hooks_.maps) return hooks_.maps->clear(*this, n);
    n.dynamic.clear();
}

void Master::map_add(Node& n, const data::DynamicItem& item) {
    if (hooks_.maps) return hooks_.maps->add(*this, n, item);
    n.dynamic.add(item);
}

void Master::map_to_frame(Node& n, frame::FrameRecord& f) {
    if (hooks_.maps) return hooks_.maps->set_data_to_frame(*this, n, f, init_bytes_);
    n.dynamic.set_data_to_frame(f, init_bytes_);
}

void Master::map_from_frame(Node& n, const frame::FrameRecord& f) {
    if (hooks_.maps) return hooks_.maps->get_data_from_frame(*this, n, f, init_bytes_);
    n.dynamic.get_data_from_frame(f, init_bytes_);
}

bool Master::map_pending(const Node& n) const {
    return hooks_.maps ? hooks_.maps->pending(*this, n) : n.dynamic.pending();
}

bool Master::echo_matches() {
    return hooks_.maps ? hooks_.maps->echo_matches(*this) : slave_.dynamic.matches(own_.dynamic);
}

void Master::data_map_frame() {
    set_command(own_.frame, data_command_);
    pack_outputs();
}

// --- Process data ----------------------------------------------------------------------

void Master::pack_outputs() {
    frame::FrameRecord& req = own_.frame;
    if (hooks_.process_data) return hooks_.process_data->pack_outputs(*this, req);
    std::memset(req.safe_data, 0, sizeof req.safe_data);
    for (unsigned k = 0; k < output_bytes_; ++k)
        req.safe_data[k / 2] |=
            static_cast<uint16_t>(outputs_[k] << (data::BITS_PER_BYTE * (k % 2)));
}

void Master::unpack_inputs() {
    if (hooks_.process_data) return hooks_.process_data->unpack_inputs(*this, slave_.frame);
    for (unsigned k = 0; k < input_bytes_; ++k)
        inputs_[k] = frame::data_byte(slave_.frame, k);
}

void Master::inputs_to_fail_safe() {
    if (hooks_.process_data) return hooks_.process_data->inputs_to_fail_safe(*this);
    inputs_ = fail_safe_inputs_;
}

} // namespace tarnwick
