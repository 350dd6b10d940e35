// The Master's events (start, stop, reset, a reply, a watchdog expiry) and the
// request each of them builds.
//
// Re-entrancy. The listener's callbacks (a report, a change of state) and a state
// override's operations run inside an event, and may run another event on the same
// Master: reset(), stop() or set_reply(). Every event counts itself in
// events_begun_ as it begins. After each call out that may nest, the running event
// compares the count with its own and, when another event has begun meanwhile,
// ends there: the nested event has settled the state and built the request, and
// the outer event's transition is not taken on top of it. So a master stopped from
// its error report stays stopped, and a reset asked for from a failure's report
// sends error code 0 (the application's reset), not the failure's code.
//
// Report texts live on the stack of the report that built them, so a nested report
// never overwrites a text an outer listener is still reading. Nothing else is held
// across a call out and the count only grows, so nesting needs no clean-up: an
// exception from a hook leaves the call at once, the event cut short where it was,
// and the next event starts afresh (a request that failed to build is built again
// by the next reply, even a repeated one). A front-end that must finish the event
// first (the Python binding) catches in its hooks and rethrows after the call.
#include "tarnwick/master.hpp"

#include "core/master/master_notes.hpp"

#include "core/master/frame_history.hpp"

#include <algorithm>
#include <cstring>

namespace tarnwick {

// --- Public events ---------------------------------------------------------------------

void Master::start(Micros now) {
    now_ = now;
    if (!running_) state_since_ = now; // the time before a start is no state's
    own_.frame.safe_data_size = static_cast<uint16_t>(output_bytes_);
    slave_.frame.safe_data_size = static_cast<uint16_t>(input_bytes_);
    init_bytes_ = static_cast<uint16_t>(std::min(output_bytes_, input_bytes_));
    reset_event();
    running_ = true;
}

void Master::stop(Micros now) {
    if (!running_) return;
    now_ = now;
    running_ = false;
    reset_event();
    disarm_watchdog();
}

void Master::reset(Micros now) {
    now_ = now;
    reset_event();
}

ReplyResult Master::set_reply(const uint8_t* data, std::size_t size, Micros now) {
    if (!running_) return ReplyResult::NotRunning;
    now_ = now;
    note_reply(size);
    if (repeats_last_reply(data, size)) {
        ++diag_.replies_repeated;
        if (history_) record_reply(data, size, FrameOutcome::Repeated);
        // Only a request that failed to build is built again: the application may
        // have corrected the output since.
        if (request_stale_) rebuild_request();
        return ReplyResult::Repeated;
    }
    if (frame::size_for_length(size) > frame::MAX_DATA_BYTES) {
        if (history_) record_reply(data, size, FrameOutcome::TooLong);
        return ReplyResult::TooLong;
    }
    if (process_reply(data, size)) rebuild_request();
    return ReplyResult::Taken;
}

bool Master::poll(Micros now) {
    if (!watchdog_armed_ || now < watchdog_deadline_) return false;
    // The next period runs from this expiry, unless its transition re-arms.
    watchdog_deadline_ = now + watchdog_timeout_;
    on_watchdog_expired(now);
    return true;
}

void Master::on_watchdog_expired(Micros now) {
    now_ = now;
    ++diag_.watchdog_expiries;
    uint64_t begun = begin_event();
    conclude_event(begun, run_event(Event::WatchdogExpired));
}

// --- Event steps -----------------------------------------------------------------------

void Master::reset_event() {
    uint64_t begun = begin_event();
    conclude_event(begun, run_event(Event::ResetConnection));
}

// Switches to the state the event led to and publishes its request, unless a
// callback ran another event meanwhile, which has then done both.
void Master::conclude_event(uint64_t begun, StateId next) {
    if (superseded(begun)) return;
    set_next_state(next);
    if (superseded(begun)) return;
    rebuild_request();
}

StateId Master::run_event(Event e) {
    return override_ ? override_->on_event(*this, e) : builtin_event(e);
}

StateId Master::builtin_event(Event e) {
    // A custom state has no built-in operation: its override decides every event.
    if (state_ == StateId::Custom) return state_;
    Transition t = decide(e);
    uint64_t begun = events_begun_;
    report(t);
    if (superseded(begun)) return state_;
    return override_ ? override_->run_transition(*this, t) : run_transition(t);
}

void Master::adopt_state(StateId s, StateOverride* override) {
    if (s != state_) note_state_change(state_, s);
    state_ = s;
    override_ = override;
}

void Master::set_next_state(StateId next) {
    if (next == state_) {
        // The state is kept; a front-end whose objects differ within it may switch.
        if (override_) override_->on_stay(*this);
        return;
    }
    StateId from = state_;
    note_state_change(from, next);
    state_ = next;
    override_ = nullptr; // it belonged to the state left
    if (hooks_.listener) hooks_.listener->on_state_change(*this, from, next);
}

// --- Replies ---------------------------------------------------------------------------

// A plain loop: successive replies usually differ within their first CRC word, so it
// stops after a few bytes, where a library call would cost more than the comparison.
bool Master::repeats_last_reply(const uint8_t* data, std::size_t size) const {
    if (size != last_reply_size_) return false;
    for (std::size_t k = 0; k < size; ++k)
        if (data[k] != last_reply_[k]) return false;
    return true;
}

// Only a reply that is taken counts as the last one: a refused reply delivered
// again is refused again, not ignored as already handled.
void Master::take_reply_bytes(const uint8_t* data, std::size_t size) {
    if (size != 0) std::memcpy(last_reply_, data, size);
    last_reply_size_ = size;
    frame::FrameRecord& reply = slave_.frame;
    frame::parse(reply, data, size);
    // The master's next request is seeded with the slave's CRC_0.
    if (state_ != StateId::Reset) own_.frame.control.crc0 = reply.crcs[0];
    if (reply.control.command == static_cast<uint16_t>(frame::Command::RESET)) {
        // The error code of a Reset frame is collected whatever the state expected.
        map_clear(slave_);
        map_add(slave_, slave_.session.item(SessionField::error_id));
    }
    map_from_frame(slave_, reply);
}

// False when a callback of the reply ran another event, which then settled the state
// and built the request.
bool Master::process_reply(const uint8_t* data, std::size_t size) {
    take_reply_bytes(data, size);
    ++diag_.replies_taken;
    if (history_) record_reply(data, size, FrameOutcome::Taken);
    bool judged_in_reset = state_ == StateId::Reset;
    uint64_t begun = begin_event();
    StateId next = run_event(Event::FrameReceived);
    reply_awaiting_transition_ = nullptr; // an application's state may take none
    if (superseded(begun)) return false;
    frame::FrameRecord& reply = slave_.frame;
    // The sequence number the slave's next reply must carry.
    if (!judged_in_reset) frame::increment_sequence_number(reply.control);
    slave_.last_crc0_sent = reply.crcs[0];
    set_next_state(next);
    return !superseded(begun);
}

// --- Requests --------------------------------------------------------------------------

void Master::rebuild_request() {
    request_stale_ = true; // stays set when packing the outputs throws
    build_request();
    request_stale_ = false;
}

void Master::build_request() {
    frame::FrameRecord& req = own_.frame;
    if (state_ == StateId::Data) {
        if (override_)
            override_->map_data_frame(*this);
        else
            data_map_frame();
    } else {
        map_to_frame(own_, req);
    }
    bool unconnected = state_ == StateId::Reset || state_ == StateId::Session;
    req.control.connection_id = unconnected ? 0 : own_.session.get(SessionField::connection_id);
    generate_request_crcs(req);
    own_.last_crc0_sent = req.crcs[0];
    if (reset_slave_sequence_) {
        slave_.frame.control.sequence_number = 1;
        reset_slave_sequence_ = false;
    }
    // The slave seeds its reply to this request with the request's CRC_0.
    if (state_ != StateId::Reset) slave_.frame.control.crc0 = req.crcs[0];
    frame::increment_sequence_number(req.control);
    request_size_ = frame::serialise(req, request_);
    ++diag_.requests_published;
    published_at_ = now_;
    cycles_since_publish_ = 0;
    awaiting_answer_ = true;
    if (history_) record_request();
}

// CRC_0 never repeats the one sent last: the sequence number steps past it.
void Master::generate_request_crcs(frame::FrameRecord& req) {
    auto generate = [this](frame::FrameRecord& f) {
        frame::generate_crcs(f);
        if (hooks_.trace) hooks_.trace->on_crc_generated(f);
    };
    if (own_.last_crc0_sent)
        frame::generate_crcs_cyclic(req, *own_.last_crc0_sent, generate);
    else
        generate(req);
}

} // namespace tarnwick
