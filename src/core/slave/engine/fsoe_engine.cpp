// The engine over a caller-owned record: transfer queues, frame checks, reply
// building and the process step. The per-state decisions live in fsoe_states.cpp.
#include "core/slave/engine/fsoe_engine_private.hpp"

#include <cstring>

namespace brisel {

namespace {

// --- connection fields, byte by byte -----------------------------------------

uint8_t field_byte(const fsoe_field_ref& r, unsigned k) {
    return k < r.width ? static_cast<uint8_t>(fsoe_field_load(r) >> (8 * k)) : 0;
}

void set_field_byte(const fsoe_field_ref& r, unsigned k, uint8_t b) {
    if (k >= r.width) return;
    uint32_t mask = 0xFFu << (8 * k);
    fsoe_field_store(r, (fsoe_field_load(r) & ~mask) | static_cast<uint32_t>(b) << (8 * k));
}

// --- transfer queues ---------------------------------------------------------

// Marks `n` bytes of the head entry as transferred; a used-up entry leaves the queue.
void queue_advance(fsoe_queue& q, unsigned n) {
    q.offset = static_cast<uint8_t>(q.offset + n);
    if (q.count == 0 || q.offset < q.entries[0].length) return;
    for (unsigned i = 1; i < q.count; ++i)
        q.entries[i - 1] = q.entries[i];
    --q.count;
    q.offset = 0;
}

// Moves the queue's next `budget` bytes: move(entry, byte of its field, safe-data
// position) for each, entry by entry.
template <typename Move> void queue_walk(fsoe_queue& q, unsigned budget, Move&& move) {
    for (unsigned pos = 0; pos < budget && q.count > 0;) {
        const fsoe_queue_entry& e = q.entries[0];
        unsigned left = e.length > q.offset ? e.length - q.offset : 0;
        unsigned chunk = left < budget - pos ? left : budget - pos;
        for (unsigned i = 0; i < chunk; ++i)
            move(e, q.offset + i, pos + i);
        pos += chunk;
        queue_advance(q, chunk);
    }
}

// `budget`: the connection-data bytes a frame carries.
void queue_receive(fsoe_queue& q, const fsoe_frame& f, unsigned budget) {
    if (budget == 1) {
        // One byte per frame: the low byte of a field word starts it afresh, the
        // high byte completes it.
        const fsoe_queue_entry& e = q.entries[0];
        uint8_t b = fsoe_frame_data_byte(f, 0);
        if (q.offset % 2 == 0) {
            set_field_byte(e.ref, q.offset, b);
            set_field_byte(e.ref, q.offset + 1u, 0);
        } else {
            set_field_byte(e.ref, q.offset, field_byte(e.ref, q.offset) | b);
        }
        queue_advance(q, 1);
        return;
    }
    queue_walk(q, budget, [&](const fsoe_queue_entry& e, unsigned field, unsigned pos) {
        set_field_byte(e.ref, field, fsoe_frame_data_byte(f, pos));
    });
}

void queue_send(fsoe_queue& q, fsoe_frame& f, unsigned budget) {
    if (budget == 1) {
        fsoe_frame_set_data_byte(f, 0, field_byte(q.entries[0].ref, q.offset));
        queue_advance(q, 1);
        return;
    }
    queue_walk(q, budget, [&](const fsoe_queue_entry& e, unsigned field, unsigned pos) {
        fsoe_frame_set_data_byte(f, pos, field_byte(e.ref, field));
    });
}

// --- frames --------------------------------------------------------------------

void clear_data(fsoe_frame& f) {
    std::memset(f.data, 0, sizeof f.data);
}

// CRC_0 is computed even for a frame without safe data: the repeat rule compares it.
void generate_crcs(fsoe_frame& f) {
    unsigned m = fsoe_frame_crc_count(f);
    if (m == 0) m = 1;
    for (unsigned i = 0; i < m; ++i)
        f.crc[i] = fsoe_frame_crc(f, i);
}

// CRC_0 is passed in: the check has computed it already.
bool crcs_match(const fsoe_frame& f, uint16_t crc0) {
    unsigned m = fsoe_frame_crc_count(f);
    bool ok = m == 0 || crc0 == f.crc[0];
    for (unsigned i = 1; i < m; ++i)
        ok &= fsoe_frame_crc(f, i) == f.crc[i];
    return ok;
}

// The reply never repeats its previous CRC_0: the sequence number steps past it.
// CRC_0 is a bijection of the sequence number, so the loop steps at most twice.
void generate_reply_crcs(fsoe_engine_record& e) {
    uint16_t previous = e.tx.crc[0];
    e.tx.sequence_number = fsoe_frame_next_sequence(e.tx.sequence_number);
    generate_crcs(e.tx);
    while (e.tx.crc[0] == previous) {
        e.tx.sequence_number = fsoe_frame_next_sequence(e.tx.sequence_number);
        generate_crcs(e.tx);
    }
    // CRC_0 seeds the master's next frame.
    e.rx.reference_crc = e.tx.crc[0];
}

void hand_rx_image(fsoe_engine_record& e) {
    if (!e.pd) return;
    if (e.pd->write_rx_data)
        e.pd->write_rx_data(e.pd_context, e.rx.data, fsoe_frame_data_length(e.rx));
    else
        e.pd->write_rx_image(e.pd_context, fsoe_frame_encode(e.rx), e.rx_words);
}

// Safe outputs fall to their safe value: the rx map sees a frame without data.
void hand_safe_rx_image(fsoe_engine_record& e) {
    clear_data(e.rx);
    hand_rx_image(e);
}

void fill_reply_data(fsoe_engine_record& e) {
    clear_data(e.tx);
    if (fsoe_queue_both_empty(e)) {
        if (!e.pd) return;
        if (e.pd->read_tx_data) {
            e.pd->read_tx_data(e.pd_context, e.tx.data, fsoe_frame_data_length(e.tx));
            return;
        }
        // Process data: the tx map lays out the whole reply frame; only its CRCs
        // are recomputed, and CRC_0 is kept for the repeat rule.
        fsoe_lanes image = e.pd->read_tx_image(e.pd_context, e.tx_words);
        uint16_t crc0 = e.tx.crc[0];
        fsoe_frame_decode(e.tx, image);
        e.tx.crc[0] = crc0;
    } else if (e.tx_queue.count > 0) {
        queue_send(e.tx_queue, e.tx, e.conn_bytes);
    }
}

// Before the first init no state table is installed: the engine is in Reset.
const fsoe_state_ops& current_state(const fsoe_engine_record& e) {
    return e.state ? *e.state : FSOE_STATE_TABLE[FSOE_STATE_RESET];
}

void switch_state(fsoe_engine_record& e, uint8_t next) {
    if (next < FSOE_STATE_COUNT && next != current_state(e).number)
        e.state = &FSOE_STATE_TABLE[next];
}

void rebuild_reply_area(fsoe_engine_record& e) {
    unsigned words = fsoe_frame_encoded_words(e.tx);
    if (words > e.tx_words) words = e.tx_words;
    e.reply = fsoe_lanes_kept(fsoe_frame_encode(e.tx, e.reply_tail), fsoe_head_words(words));
    if (words > FSOE_LANES_WORDS) fsoe_tail_keep(e.reply_tail, words);
}

void reset_connection_record(fsoe_engine_record& e) {
    e.conn = fsoe_connection{};
    e.conn.own_slave_address = e.slave_address;
    e.conn.expected_comm_param_length = FSOE_EXPECTED_COMM_PARAM_LENGTH;
    e.conn.expected_app_param_length = FSOE_EXPECTED_APP_PARAM_LENGTH;
}

} // namespace

// --- shared with the state tables ------------------------------------------------

void fsoe_queue_clear_both(fsoe_engine_record& e) {
    e.rx_queue.count = e.rx_queue.offset = 0;
    e.tx_queue.count = e.tx_queue.offset = 0;
}

void fsoe_queue_add(fsoe_engine_record& e, fsoe_field_ref rx_target, fsoe_field_ref tx_source,
                    uint8_t length) {
    if (e.rx_queue.count < FSOE_QUEUE_ENTRIES)
        e.rx_queue.entries[e.rx_queue.count++] = fsoe_queue_entry{rx_target, length};
    if (e.tx_queue.count < FSOE_QUEUE_ENTRIES)
        e.tx_queue.entries[e.tx_queue.count++] = fsoe_queue_entry{tx_source, length};
}

bool fsoe_queue_both_empty(const fsoe_engine_record& e) {
    return e.rx_queue.count == 0 && e.tx_queue.count == 0;
}

bool fsoe_queue_any_pending(const fsoe_engine_record& e) {
    return !fsoe_queue_both_empty(e);
}

bool fsoe_check_frame(fsoe_engine_record& e, bool repeat_rule) {
    if (e.frame_words == 0) return false;
    uint16_t saved = e.rx.sequence_number;
    e.rx.sequence_number = fsoe_frame_next_sequence(saved);
    // The master stepped its sequence number wherever its CRC_0 would have repeated
    // the one it sent last; step the expected one the same way.
    uint16_t crc0 = fsoe_frame_crc(e.rx, 0);
    while (repeat_rule && crc0 == e.tx.reference_crc) {
        e.rx.sequence_number = fsoe_frame_next_sequence(e.rx.sequence_number);
        crc0 = fsoe_frame_crc(e.rx, 0);
    }
    if (!crcs_match(e.rx, crc0)) {
        e.rx.sequence_number = saved;
        return false;
    }
    // The master's CRC_0 seeds the next reply.
    e.tx.reference_crc = e.rx.crc[0];
    return true;
}

void fsoe_consume_rx_data(fsoe_engine_record& e) {
    bool receiving = e.rx_queue.count > 0;
    if (receiving) queue_receive(e.rx_queue, e.rx, e.conn_bytes);
    // Connection data and fail-safe frames carry no process data for the outputs.
    if (receiving || e.tx_queue.count > 0 || e.conn.failsafe_received) clear_data(e.rx);
    hand_rx_image(e);
}

uint8_t fsoe_answer(fsoe_engine_record& e, uint8_t command, uint8_t next) {
    e.tx.command = command;
    fill_reply_data(e);
    generate_reply_crcs(e);
    return next;
}

uint8_t fsoe_enter_reset(fsoe_engine_record& e, uint8_t error) {
    if (e.frame_words == 0) return FSOE_STATE_RESET;
    fsoe_watchdog_disarm(e);
    e.conn.error_to_send = error;
    fsoe_queue_clear_both(e);
    fsoe_queue_add(e, fsoe_field(e.conn.rx_error_code), fsoe_field(e.conn.error_to_send), 1);
    if (error == FSOE_ERR_RESET && static_cast<uint8_t>(e.rx.command) == FSOE_CMD_RESET)
        fsoe_consume_rx_data(e); // the master's own error code
    else
        hand_safe_rx_image(e); // the connection is lost: outputs to their safe value
    e.tx.command = FSOE_CMD_RESET;
    e.tx.sequence_number = 0;
    e.tx.connection_id = 0;
    e.tx.reference_crc = 0;
    fill_reply_data(e);
    // A Reset frame is always protected with sequence number 1, without the repeat rule.
    e.tx.sequence_number = 1;
    generate_crcs(e.tx);
    e.tx.sequence_number = 0;
    fsoe_restart_rx_sequence(e);
    fsoe_queue_clear_both(e);
    return FSOE_STATE_RESET;
}

uint8_t fsoe_start_session(fsoe_engine_record& e) {
    fsoe_queue_clear_both(e);
    fsoe_queue_add(e, fsoe_field(e.conn.rx_session_id), fsoe_field(e.conn.own_session_id), 2);
    fsoe_consume_rx_data(e);
    e.rx.sequence_number = 1;
    e.tx.sequence_number = 0;
    e.tx.connection_id = 0;
    e.conn.own_session_id = e.sources.session_id ? e.sources.session_id(e.sources.context) : 0;
    return fsoe_answer(e, FSOE_CMD_SESSION, FSOE_STATE_SESSION);
}

void fsoe_restart_rx_sequence(fsoe_engine_record& e) {
    e.rx.reference_crc = 0;
    e.rx.sequence_number = 0;
}

uint32_t fsoe_clock_now(const fsoe_engine_record& e) {
    return e.sources.clock_us ? e.sources.clock_us(e.sources.context) : 0;
}

void fsoe_watchdog_disarm(fsoe_engine_record& e) {
    if (!e.watchdog.armed) e.watchdog.start_us = fsoe_clock_now(e);
    e.watchdog.armed = false;
}

void fsoe_watchdog_arm(fsoe_engine_record& e, uint32_t timeout_us) {
    e.watchdog.timeout_us = timeout_us;
    if (!e.watchdog.armed) e.watchdog.start_us = fsoe_clock_now(e);
    e.watchdog.armed = true;
}

// --- public interface ----------------------------------------------------------

void fsoe_engine_init(fsoe_engine_record& e, const fsoe_engine_sources& sources,
                      uint16_t slave_address) {
    bool wide = e.area_words == FSOE_WIDE_AREA_WORDS;
    e = fsoe_engine_record{};
    fsoe_engine_set_wide(e, wide);
    e.state = &FSOE_STATE_TABLE[FSOE_STATE_RESET];
    e.sources = sources;
    e.slave_address = slave_address;
    reset_connection_record(e);
}

namespace {

void activate(fsoe_engine_record& e, unsigned rx_words, unsigned tx_words, unsigned conn_bytes,
              const fsoe_process_data_ops* ops, void* ops_context) {
    e.rx_words = static_cast<uint16_t>(rx_words);
    e.tx_words = static_cast<uint16_t>(tx_words);
    e.frame_words = static_cast<uint16_t>(rx_words > tx_words ? rx_words : tx_words);
    e.conn_bytes = static_cast<uint8_t>(conn_bytes);
    e.pd = ops;
    e.pd_context = ops_context;
    reset_connection_record(e);
    e.rx = fsoe_frame{};
    e.tx = fsoe_frame{};
    e.rx.data_length = fsoe_frame_data_length_for(rx_words);
    e.tx.data_length = fsoe_frame_data_length_for(tx_words);
    fsoe_queue_clear_both(e);
    // A new connection judges its first request afresh, even if it repeats the
    // last one of the previous connection (a master's first Reset frame does).
    e.last_request = fsoe_lanes{};
    e.last_request_tail = fsoe_tail{};
    // Nor does it answer with the previous connection's last reply, which may be
    // laid out for another frame size.
    e.reply = fsoe_lanes{};
    e.reply_tail = fsoe_tail{};
}

} // namespace

void fsoe_engine_start(fsoe_engine_record& e, uint16_t frame_words,
                       const fsoe_process_data_ops* ops, void* ops_context) {
    if (frame_words > e.area_words || !ops) return;
    // Connection data moves in whole words, one byte at a time in a 1-byte frame.
    unsigned n = fsoe_frame_data_length_for(frame_words);
    activate(e, frame_words, frame_words, n == 1 ? 1 : (n + 1) & ~1u, ops, ops_context);
}

bool fsoe_engine_start_sized(fsoe_engine_record& e, unsigned rx_bytes, unsigned tx_bytes,
                             const fsoe_process_data_ops* ops, void* ops_context) {
    unsigned rx_words = fsoe_frame_words_for(rx_bytes), tx_words = fsoe_frame_words_for(tx_bytes);
    if (!ops || rx_words == 0 || tx_words == 0 || rx_words > e.area_words ||
        tx_words > e.area_words)
        return false;
    activate(e, rx_words, tx_words, rx_bytes < tx_bytes ? rx_bytes : tx_bytes, ops, ops_context);
    return true;
}

void fsoe_engine_set_wide(fsoe_engine_record& e, bool wide) {
    e.area_words = static_cast<uint16_t>(wide ? FSOE_WIDE_AREA_WORDS : FSOE_AREA_WORDS);
    e.request_max =
        static_cast<uint16_t>(wide ? FSOE_WIDE_REQUEST_BUFFER_BYTES : FSOE_REQUEST_BUFFER_BYTES);
}

void fsoe_engine_stop(fsoe_engine_record& e) {
    if (e.frame_words != 0) hand_safe_rx_image(e);
    e.pd = nullptr;
    e.pd_context = nullptr;
    e.frame_words = e.rx_words = e.tx_words = 0;
    fsoe_watchdog_disarm(e);
    e.new_request = false;
    e.state = &FSOE_STATE_TABLE[FSOE_STATE_RESET];
}

void fsoe_engine_process(fsoe_engine_record& e) {
    uint32_t now = fsoe_clock_now(e);
    if (e.watchdog.armed && e.sources.clock_us &&
        static_cast<uint32_t>(now - e.watchdog.start_us) >= e.watchdog.timeout_us) {
        // The master missed its cycle: the pending request is dropped and the
        // Reset frame prepared by the state becomes the reply on the next step.
        e.new_request = false;
        switch_state(e, current_state(e).watchdog_expired(e));
        fsoe_watchdog_disarm(e);
        return;
    }
    if (!e.new_request) return;
    if (e.frame_words != 0) {
        // A map changed under a running engine (unlocked, or re-validated to
        // another size) takes no frames until the next start.
        unsigned words = e.pd ? e.pd->frame_size(e.pd_context) : 0;
        if (words == e.frame_words && fsoe_image_differ(e.request, e.request_tail, e.last_request,
                                                        e.last_request_tail, e.rx_words)) {
            // The words past the frame are never compared: start() clears them.
            e.last_request = e.request;
            if (e.rx_words > FSOE_LANES_WORDS) e.last_request_tail = e.request_tail;
            fsoe_frame_decode(e.rx, fsoe_lanes_kept(e.request, fsoe_head_words(e.rx_words)),
                              e.request_tail);
            e.watchdog.start_us = now;
            switch_state(e, current_state(e).handle_frame(e));
        }
        rebuild_reply_area(e);
    }
    e.new_request = false;
}

fsoe_request_result fsoe_engine_set_request(fsoe_engine_record& e, const uint8_t* data,
                                            std::size_t len) {
    if (len > e.request_max) return FSOE_REQUEST_TOO_LONG;
    unsigned words = e.rx_words > e.area_words ? e.area_words : e.rx_words;
    unsigned head = fsoe_head_words(words);
    fsoe_lanes fresh{};
    auto byte = [&](std::size_t i) -> unsigned { return i < len ? data[i] : 0; };
    if (len >= 2 * std::size_t{head}) {
        for (unsigned w = 0; w < head; ++w)
            fsoe_lanes_or_word(fresh, w, static_cast<uint16_t>(data[2 * w] | data[2 * w + 1] << 8));
    } else {
        // Bytes beyond the request read as 0, as from a zeroed buffer.
        for (unsigned w = 0; w < head; ++w)
            fsoe_lanes_or_word(fresh, w, static_cast<uint16_t>(byte(2 * w) | byte(2 * w + 1) << 8));
    }
    // Only the frame's words are taken; the others keep what they held.
    e.request = fsoe_lanes_replaced(e.request, fresh, head);
    if (words > FSOE_LANES_WORDS) {
        // A wide frame's tail, which nothing reads past the frame.
        std::size_t from = 2 * std::size_t{FSOE_LANES_WORDS}, to = 2 * std::size_t{words};
        uint8_t bytes[2 * FSOE_IMAGE_WORDS] = {};
        for (std::size_t i = from; i < to && i < len; ++i)
            bytes[i] = data[i];
        fsoe_lanes ignored;
        fsoe_image_from_bytes(bytes, to, ignored, e.request_tail);
    }
    e.new_request = true;
    return FSOE_REQUEST_OK;
}

uint8_t fsoe_engine_state(const fsoe_engine_record& e) {
    return current_state(e).number;
}

fsoe_field_ref fsoe_engine_field_ref(fsoe_engine_record& e, fsoe_engine_field field) {
    switch (field) {
    case FSOE_FIELD_REPLY_COMMAND:
        return fsoe_field(e.tx.command);
    case FSOE_FIELD_REPLY_CONNECTION_ID:
        return fsoe_field(e.tx.connection_id);
    case FSOE_FIELD_REPLY_REFERENCE_CRC:
        return fsoe_field(e.tx.reference_crc);
    case FSOE_FIELD_RX_COMMAND:
        return fsoe_field(e.rx.command);
    case FSOE_FIELD_RX_CONNECTION_ID:
        return fsoe_field(e.rx.connection_id);
    case FSOE_FIELD_RX_REFERENCE_CRC:
        return fsoe_field(e.rx.reference_crc);
    case FSOE_FIELD_OWN_SLAVE_ADDRESS:
        return fsoe_field(e.conn.own_slave_address);
    case FSOE_FIELD_OWN_CONNECTION_ID:
        return fsoe_field(e.conn.own_connection_id);
    case FSOE_FIELD_OWN_WATCHDOG_TIME:
        return fsoe_field(e.conn.own_watchdog_time);
    case FSOE_FIELD_EXPECTED_COMM_PARAM_LENGTH:
        return fsoe_field(e.conn.expected_comm_param_length);
    case FSOE_FIELD_EXPECTED_APP_PARAM_LENGTH:
        return fsoe_field(e.conn.expected_app_param_length);
    case FSOE_FIELD_EXPECTED_APP_PARAM:
        return fsoe_field(e.conn.expected_app_param);
    }
    return fsoe_field_ref{nullptr, 0};
}

uint32_t fsoe_engine_read_field(const fsoe_engine_record& e, fsoe_engine_field field) {
    // The reference is only read through.
    return fsoe_field_load(fsoe_engine_field_ref(const_cast<fsoe_engine_record&>(e), field));
}

void fsoe_engine_write_field(fsoe_engine_record& e, fsoe_engine_field field, uint32_t value) {
    fsoe_field_store(fsoe_engine_field_ref(e, field), value);
}

} // namespace brisel
