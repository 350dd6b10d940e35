// The five slave states: what each does with the master's frame, checked in a
// fixed order, and the table of operations each state installs.
#include "core/slave/engine/fsoe_engine_private.hpp"

namespace brisel {

namespace {

uint8_t rx_command(const fsoe_engine_record& e) {
    return static_cast<uint8_t>(e.rx.command);
}

uint8_t reset_with(fsoe_engine_record& e, fsoe_error error) {
    return fsoe_enter_reset(e, error);
}

uint8_t data_reply_command(const fsoe_engine_record& e) {
    return e.conn.failsafe_request ? FSOE_CMD_FAILSAFE_DATA : FSOE_CMD_PROCESS_DATA;
}

// --- shared by several states --------------------------------------------------

uint8_t local_reset(fsoe_engine_record& e) {
    return reset_with(e, FSOE_ERR_RESET);
}

uint8_t watchdog_expired(fsoe_engine_record& e) {
    return reset_with(e, FSOE_ERR_WD_EXPIRED);
}

// A Reset frame from the master: it starts its own sequence afresh.
uint8_t on_master_reset(fsoe_engine_record& e) {
    fsoe_restart_rx_sequence(e);
    return reset_with(e, fsoe_check_frame(e, false) ? FSOE_ERR_RESET : FSOE_ERR_INVALID_CRC);
}

// The first frame of a session restarts the sequence, so it is checked without the
// repeat rule.
uint8_t on_new_session(fsoe_engine_record& e) {
    fsoe_restart_rx_sequence(e);
    if (!fsoe_check_frame(e, false)) return reset_with(e, FSOE_ERR_INVALID_CRC);
    return fsoe_start_session(e);
}

// --- Reset (0) -------------------------------------------------------------------

uint8_t reset_handle_frame(fsoe_engine_record& e) {
    switch (rx_command(e)) {
    case FSOE_CMD_RESET:
        return reset_with(e, FSOE_ERR_RESET);
    case FSOE_CMD_SESSION:
        return on_new_session(e);
    case FSOE_CMD_CONNECTION:
    case FSOE_CMD_PARAMETER:
    case FSOE_CMD_PROCESS_DATA:
    case FSOE_CMD_FAILSAFE_DATA:
        return reset_with(e, FSOE_ERR_INVALID_CMD);
    }
    return reset_with(e, FSOE_ERR_UNKNOWN_CMD);
}

// --- Session (1) -----------------------------------------------------------------

uint8_t session_on_session(fsoe_engine_record& e) {
    if (!fsoe_check_frame(e, true)) return on_new_session(e);
    if (!fsoe_queue_any_pending(e)) return reset_with(e, FSOE_ERR_INVALID_CMD);
    fsoe_consume_rx_data(e);
    return fsoe_answer(e, FSOE_CMD_SESSION, FSOE_STATE_SESSION);
}

uint8_t session_on_connection(fsoe_engine_record& e) {
    if (fsoe_queue_any_pending(e)) return reset_with(e, FSOE_ERR_INVALID_CMD);
    if (e.rx.connection_id == 0) return reset_with(e, FSOE_ERR_INVALID_CONNID);
    if (!fsoe_check_frame(e, true)) return reset_with(e, FSOE_ERR_INVALID_CRC);
    fsoe_queue_clear_both(e);
    fsoe_queue_add(e, fsoe_field(e.conn.rx_connection_id), fsoe_field(e.conn.rx_connection_id), 2);
    fsoe_queue_add(e, fsoe_field(e.conn.rx_slave_address), fsoe_field(e.conn.rx_slave_address), 2);
    fsoe_consume_rx_data(e);
    // The first Connection frame fixes the connection id for the whole connection.
    e.conn.own_connection_id = e.rx.connection_id;
    e.tx.connection_id = e.rx.connection_id;
    return fsoe_answer(e, FSOE_CMD_CONNECTION, FSOE_STATE_CONNECTION);
}

uint8_t session_handle_frame(fsoe_engine_record& e) {
    switch (rx_command(e)) {
    case FSOE_CMD_RESET:
        return on_master_reset(e);
    case FSOE_CMD_SESSION:
        return session_on_session(e);
    case FSOE_CMD_CONNECTION:
        return session_on_connection(e);
    case FSOE_CMD_PARAMETER:
    case FSOE_CMD_PROCESS_DATA:
    case FSOE_CMD_FAILSAFE_DATA:
        return reset_with(e, FSOE_ERR_INVALID_CMD);
    }
    return reset_with(e, FSOE_ERR_UNKNOWN_CMD);
}

// --- Connection (2) --------------------------------------------------------------

uint8_t connection_on_connection(fsoe_engine_record& e) {
    if (fsoe_queue_both_empty(e)) return reset_with(e, FSOE_ERR_INVALID_CMD);
    if (e.tx.connection_id != e.rx.connection_id) return reset_with(e, FSOE_ERR_INVALID_CONNID);
    if (!fsoe_check_frame(e, true)) return reset_with(e, FSOE_ERR_INVALID_CRC);
    fsoe_consume_rx_data(e);
    return fsoe_answer(e, FSOE_CMD_CONNECTION, FSOE_STATE_CONNECTION);
}

uint8_t connection_on_parameter(fsoe_engine_record& e) {
    fsoe_connection& c = e.conn;
    if (fsoe_queue_any_pending(e)) return reset_with(e, FSOE_ERR_INVALID_CMD);
    if (c.own_connection_id != e.rx.connection_id || c.own_connection_id != c.rx_connection_id)
        return reset_with(e, FSOE_ERR_INVALID_CONNID);
    if (c.own_slave_address != c.rx_slave_address) return reset_with(e, FSOE_ERR_INVALID_ADDRESS);
    if (!fsoe_check_frame(e, true)) return reset_with(e, FSOE_ERR_INVALID_CRC);
    fsoe_queue_clear_both(e);
    fsoe_queue_add(e, fsoe_field(c.rx_comm_param_length), fsoe_field(c.rx_comm_param_length), 2);
    fsoe_queue_add(e, fsoe_field(c.rx_watchdog_time), fsoe_field(c.rx_watchdog_time), 2);
    fsoe_queue_add(e, fsoe_field(c.rx_app_param_length), fsoe_field(c.rx_app_param_length), 2);
    fsoe_queue_add(e, fsoe_field(c.rx_app_param), fsoe_field(c.rx_app_param), 4);
    fsoe_consume_rx_data(e);
    c.own_watchdog_time = c.rx_watchdog_time;
    c.expected_app_param = e.sources.sra_crc ? e.sources.sra_crc(e.sources.context) : 0;
    return fsoe_answer(e, FSOE_CMD_PARAMETER, FSOE_STATE_PARAMETER);
}

uint8_t connection_handle_frame(fsoe_engine_record& e) {
    switch (rx_command(e)) {
    case FSOE_CMD_RESET:
        return on_master_reset(e);
    case FSOE_CMD_SESSION:
        return on_new_session(e);
    case FSOE_CMD_CONNECTION:
        return connection_on_connection(e);
    case FSOE_CMD_PARAMETER:
        return connection_on_parameter(e);
    case FSOE_CMD_PROCESS_DATA:
    case FSOE_CMD_FAILSAFE_DATA:
        return reset_with(e, FSOE_ERR_INVALID_CMD);
    }
    return reset_with(e, FSOE_ERR_UNKNOWN_CMD);
}

// --- Parameter (3) ---------------------------------------------------------------

uint8_t parameter_on_parameter(fsoe_engine_record& e) {
    if (fsoe_queue_both_empty(e)) return reset_with(e, FSOE_ERR_INVALID_CMD);
    if (e.conn.own_connection_id != e.rx.connection_id)
        return reset_with(e, FSOE_ERR_INVALID_CONNID);
    if (!fsoe_check_frame(e, true)) return reset_with(e, FSOE_ERR_INVALID_CRC);
    fsoe_consume_rx_data(e);
    e.conn.own_watchdog_time = e.conn.rx_watchdog_time;
    return fsoe_answer(e, FSOE_CMD_PARAMETER, FSOE_STATE_PARAMETER);
}

bool watchdog_time_acceptable(const fsoe_connection& c) {
    return c.own_watchdog_time == c.rx_watchdog_time &&
           c.own_watchdog_time >= FSOE_WATCHDOG_MIN_MS &&
           c.own_watchdog_time <= FSOE_WATCHDOG_MAX_MS;
}

// The first data frame: all parameters have arrived and are judged now.
uint8_t parameter_on_data(fsoe_engine_record& e) {
    const fsoe_connection& c = e.conn;
    if (fsoe_queue_any_pending(e)) return reset_with(e, FSOE_ERR_INVALID_CMD);
    if (c.own_connection_id != e.rx.connection_id) return reset_with(e, FSOE_ERR_INVALID_CONNID);
    if (c.rx_comm_param_length != c.expected_comm_param_length)
        return reset_with(e, FSOE_ERR_INVALID_COMMPARALEN);
    if (!watchdog_time_acceptable(c)) return reset_with(e, FSOE_ERR_INVALID_COMPARA);
    if (c.rx_app_param_length != c.expected_app_param_length)
        return reset_with(e, FSOE_ERR_INVALID_USERPARALEN);
    if (c.rx_app_param != c.expected_app_param) return reset_with(e, FSOE_ERR_INVALID_USERPARA);
    if (!fsoe_check_frame(e, true)) return reset_with(e, FSOE_ERR_INVALID_CRC);
    e.conn.failsafe_received = rx_command(e) != FSOE_CMD_PROCESS_DATA;
    fsoe_queue_clear_both(e);
    fsoe_consume_rx_data(e);
    fsoe_watchdog_arm(e, static_cast<uint32_t>(c.own_watchdog_time) * FSOE_US_PER_MS);
    return fsoe_answer(e, data_reply_command(e), FSOE_STATE_DATA);
}

uint8_t parameter_handle_frame(fsoe_engine_record& e) {
    switch (rx_command(e)) {
    case FSOE_CMD_RESET:
        return on_master_reset(e);
    case FSOE_CMD_SESSION:
        return on_new_session(e);
    case FSOE_CMD_PARAMETER:
        return parameter_on_parameter(e);
    case FSOE_CMD_PROCESS_DATA:
    case FSOE_CMD_FAILSAFE_DATA:
        return parameter_on_data(e);
    case FSOE_CMD_CONNECTION:
        return reset_with(e, FSOE_ERR_INVALID_CMD);
    }
    return reset_with(e, FSOE_ERR_UNKNOWN_CMD);
}

// --- Data (4) --------------------------------------------------------------------

uint8_t data_on_data(fsoe_engine_record& e) {
    if (e.conn.own_connection_id != e.rx.connection_id)
        return reset_with(e, FSOE_ERR_INVALID_CONNID);
    if (!fsoe_check_frame(e, true)) return reset_with(e, FSOE_ERR_INVALID_CRC);
    e.conn.failsafe_received = rx_command(e) != FSOE_CMD_PROCESS_DATA;
    fsoe_queue_clear_both(e);
    fsoe_consume_rx_data(e);
    return fsoe_answer(e, data_reply_command(e), FSOE_STATE_DATA);
}

uint8_t data_on_session(fsoe_engine_record& e) {
    fsoe_restart_rx_sequence(e);
    if (!fsoe_check_frame(e, false)) return reset_with(e, FSOE_ERR_INVALID_CRC);
    fsoe_watchdog_disarm(e);
    return fsoe_start_session(e);
}

uint8_t data_handle_frame(fsoe_engine_record& e) {
    switch (rx_command(e)) {
    case FSOE_CMD_PROCESS_DATA:
    case FSOE_CMD_FAILSAFE_DATA:
        return data_on_data(e);
    case FSOE_CMD_RESET:
        return on_master_reset(e);
    case FSOE_CMD_SESSION:
        return data_on_session(e);
    case FSOE_CMD_CONNECTION:
    case FSOE_CMD_PARAMETER:
        return reset_with(e, FSOE_ERR_INVALID_CMD);
    }
    return reset_with(e, FSOE_ERR_UNKNOWN_CMD);
}

} // namespace

const fsoe_state_ops FSOE_STATE_TABLE[FSOE_STATE_COUNT] = {
    {reset_handle_frame, local_reset, watchdog_expired, FSOE_STATE_RESET},
    {session_handle_frame, local_reset, watchdog_expired, FSOE_STATE_SESSION},
    {connection_handle_frame, local_reset, watchdog_expired, FSOE_STATE_CONNECTION},
    {parameter_handle_frame, local_reset, watchdog_expired, FSOE_STATE_PARAMETER},
    {data_handle_frame, local_reset, watchdog_expired, FSOE_STATE_DATA},
};

} // namespace brisel
