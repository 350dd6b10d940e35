// tarnwick::Master: construction, the checks of its configuration, the settings
// allowed while stopped and the own session-id generator.
#include "tarnwick/master.hpp"

#include "core/master/frame_history.hpp"

#include <stdexcept>
#include <string>

namespace tarnwick {

namespace {

constexpr Micros MICROS_PER_MS = 1000;
// Placed in the seed's high half so that masters of different connections given the
// same seed still draw different session ids.
constexpr unsigned CONNECTION_ID_SEED_SHIFT = 32;

[[noreturn]] void refuse(const std::string& text) {
    throw std::invalid_argument(text);
}

void check_size(const char* name, unsigned bytes) {
    if (bytes > frame::MAX_DATA_BYTES)
        refuse(std::string(name) + ": a frame carries at most 16 safe-data bytes (got " +
               std::to_string(bytes) + ")");
}

data::DataType unsigned_type(uint8_t n_bytes) {
    return n_bytes == 1   ? data::DataType::UINT8
           : n_bytes == 2 ? data::DataType::UINT16
                          : data::DataType::UINT32;
}

bool fits_bytes(uint32_t value, unsigned n_bytes) {
    return n_bytes >= 4 || value < (uint32_t{1} << (data::BITS_PER_BYTE * n_bytes));
}

void check_parameter(std::size_t index, const ApplicationParameter& p) {
    std::string which = "Application parameter " + std::to_string(index) + ": ";
    if (p.n_bytes != 1 && p.n_bytes != 2 && p.n_bytes != 4)
        refuse(which + "n_bytes must be 1, 2 or 4 (got " + std::to_string(p.n_bytes) + ")");
    if (p.type && data::bytes_of(*p.type) != p.n_bytes)
        refuse(which + "n_bytes must be the " + std::to_string(data::bytes_of(*p.type)) +
               " bytes of " + data::info(*p.type).name + " (got " + std::to_string(p.n_bytes) +
               ")");
    if (!fits_bytes(p.value, p.n_bytes))
        refuse(which + "value " + std::to_string(p.value) + " does not fit " +
               std::to_string(p.n_bytes) + " byte(s)");
}

void check_config(const MasterConfig& c) {
    if (c.connection_id == 0) refuse("Connection ID = 0 is not permitted");
    if (c.watchdog_ms == 0) refuse("Watchdog time must be at least 1 ms");
    check_size("output_bytes", c.output_bytes);
    check_size("input_bytes", c.input_bytes);
    if (c.parameters.size() > MAX_APPLICATION_PARAMETERS)
        refuse("At most " + std::to_string(MAX_APPLICATION_PARAMETERS) +
               " application parameters (got " + std::to_string(c.parameters.size()) + ")");
    for (std::size_t i = 0; i < c.parameters.size(); ++i)
        check_parameter(i, c.parameters[i]);
    if (c.history_frames > MAX_HISTORY_FRAMES)
        refuse("history_frames: at most " + std::to_string(MAX_HISTORY_FRAMES) + " (got " +
               std::to_string(c.history_frames) + ")");
}

// splitmix64: a small generator whose every seed, 0 included, gives a full-period stream.
uint64_t splitmix64(uint64_t& state) {
    uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

} // namespace

Master::Master(const MasterConfig& config)
    : output_bytes_(config.output_bytes), input_bytes_(config.input_bytes),
      watchdog_timeout_(Micros{config.watchdog_ms} * MICROS_PER_MS),
      fail_safe_inputs_(config.fail_safe_inputs) {
    check_config(config);
    Session& s = own_.session;
    s.put(SessionField::slave_address, config.slave_address);
    s.put(SessionField::connection_id, config.connection_id);
    s.put(SessionField::watchdog_ms, config.watchdog_ms);
    for (const ApplicationParameter& p : config.parameters) {
        own_.parameters.push_back(p.value);
        parameter_widths_.push_back(p.n_bytes);
        parameter_types_.push_back(p.type ? *p.type : unsigned_type(p.n_bytes));
    }
    slave_.parameters.assign(own_.parameters.size(), 0);
    own_.frame.safe_data_size = static_cast<uint16_t>(output_bytes_);
    slave_.frame.safe_data_size = static_cast<uint16_t>(input_bytes_);
    inputs_ = fail_safe_inputs_;
    seed_session_ids(config.session_id_seed);
    expect_reply_length();
    if (config.history_frames) history_ = std::make_unique<FrameHistory>(config.history_frames);
}

Master::~Master() = default;

void Master::require_stopped(const char* what) const {
    if (running_) throw std::logic_error(std::string("Cannot ") + what + " while running");
}

void Master::set_slave_address(uint16_t address) {
    require_stopped("set slave address");
    own_.session.put(SessionField::slave_address, address);
}

void Master::set_data_sizes(unsigned output_bytes, unsigned input_bytes) {
    require_stopped("change the safe-data sizes");
    check_size("output_bytes", output_bytes);
    check_size("input_bytes", input_bytes);
    output_bytes_ = output_bytes;
    input_bytes_ = input_bytes;
    own_.frame.safe_data_size = static_cast<uint16_t>(output_bytes);
    slave_.frame.safe_data_size = static_cast<uint16_t>(input_bytes);
    expect_reply_length();
}

void Master::set_parameter_value(std::size_t index, uint32_t value) {
    require_stopped("change application parameters");
    if (index >= own_.parameters.size())
        throw std::out_of_range("No application parameter " + std::to_string(index));
    check_parameter(index, {value, parameter_widths_[index], parameter_types_[index]});
    own_.parameters[index] = value;
}

void Master::set_fail_safe_inputs(const std::array<uint8_t, frame::MAX_DATA_BYTES>& image) {
    fail_safe_inputs_ = image;
}

void Master::set_fail_safe(bool active) {
    data_command_ = active ? frame::Command::FAILSAFE_DATA : frame::Command::PROCESS_DATA;
}

void Master::seed_session_ids(uint64_t seed) {
    uint64_t connection_id = own_.session.get(SessionField::connection_id);
    session_id_state_ = seed ^ (connection_id << CONNECTION_ID_SEED_SHIFT);
}

uint16_t Master::next_own_session_id() {
    return static_cast<uint16_t>(splitmix64(session_id_state_));
}

} // namespace tarnwick
