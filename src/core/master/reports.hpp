// The texts of the master's reports to the application and the names of FSoE error
// codes, written into caller-provided buffers (nothing is allocated).
#pragma once

#include "tarnwick/diagnostics.hpp"
#include "tarnwick/transitions.hpp"

#include <cstddef>
#include <cstdint>

namespace tarnwick::states {

// The public limit (diagnostics.hpp): the longest report is the slave-reset text with a
// 5-digit code.
constexpr std::size_t REPORT_TEXT_BYTES = ERROR_TEXT_BYTES;
// Long enough for the longest name, INVALID_SAFEPARA_255.
constexpr std::size_t ERROR_NAME_BYTES = 24;
// Codes 0 to 11 are the basic FSoE errors; 128 to 255 the device's own
// safety-parameter errors; the codes between name no error.
constexpr unsigned BASE_ERROR_COUNT = 12;
constexpr unsigned FIRST_DEVICE_ERROR = 128;
constexpr unsigned LAST_DEVICE_ERROR = 255;

// What the reports built from a reply need to know.
struct ReportFacts {
    uint16_t reply_connection_id;
    uint16_t own_connection_id;
    uint16_t slave_error_code; // the code of the slave's last Reset frame
};

// The name of an FSoE error code: RESET ... INVALID_USERPARA for 0 to 11,
// INVALID_SAFEPARA_128 ... _255 for the device-specific codes; false for any other
// code, which names no error. `buf` holds ERROR_NAME_BYTES.
bool error_code_name(uint16_t code, char* buf);

// The text of report r (never Report::None), in `buf` (REPORT_TEXT_BYTES long).
const char* report_text(Report r, const ReportFacts& facts, char* buf);

} // namespace tarnwick::states
