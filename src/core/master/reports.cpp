// Report texts and FSoE error code names.
#include "core/master/reports.hpp"

#include <cstdio>

namespace tarnwick::states {

namespace {

constexpr const char* BASE_ERRORS[] = {
    "RESET",           "INVALID_CMD",         "UNKNOWN_CMD",
    "INVALID_CONNID",  "INVALID_CRC",         "WD_EXPIRED",
    "INVALID_ADDRESS", "INVALID_DATA",        "INVALID_COMMPARALEN",
    "INVALID_COMPARA", "INVALID_USERPARALEN", "INVALID_USERPARA",
};
static_assert(sizeof BASE_ERRORS / sizeof BASE_ERRORS[0] == BASE_ERROR_COUNT,
              "one name per basic error code");

const char* slave_reset_text(uint16_t code, char* buf) {
    char name[ERROR_NAME_BYTES];
    if (error_code_name(code, name))
        std::snprintf(buf, REPORT_TEXT_BYTES,
                      "Connection was reset by the slave (slave reported error %s)", name);
    else // the slave did reset all the same
        std::snprintf(buf, REPORT_TEXT_BYTES,
                      "Connection was reset by the slave (slave reported unknown error code %u)",
                      static_cast<unsigned>(code));
    return buf;
}

const char* connection_id_text(const ReportFacts& facts, char* buf) {
    std::snprintf(buf, REPORT_TEXT_BYTES, "Connection id exchanged does not match %u != %u",
                  static_cast<unsigned>(facts.reply_connection_id),
                  static_cast<unsigned>(facts.own_connection_id));
    return buf;
}

} // namespace

bool error_code_name(uint16_t code, char* buf) {
    if (code < BASE_ERROR_COUNT) {
        std::snprintf(buf, ERROR_NAME_BYTES, "%s", BASE_ERRORS[code]);
        return true;
    }
    if (code < FIRST_DEVICE_ERROR || code > LAST_DEVICE_ERROR) return false;
    std::snprintf(buf, ERROR_NAME_BYTES, "INVALID_SAFEPARA_%u", static_cast<unsigned>(code));
    return true;
}

const char* report_text(Report r, const ReportFacts& facts, char* buf) {
    switch (r) {
    case Report::ConnectionIdMismatch:
        return connection_id_text(facts, buf);
    case Report::ResetBySlave:
        return slave_reset_text(facts.slave_error_code, buf);
    default:
        return fixed_report_text(r);
    }
}

} // namespace tarnwick::states
