// Python-visible frame objects. Other binding files (maps, states, handler) reach
// a frame's record through PyFrame::rec.
#pragma once

#include "tarnwick/binding.hpp"
#include "tarnwick/frame.hpp"

#include <memory>

namespace tarnwick::py {

// The record lives in shared storage so that the views can keep it alive without
// referring back to the frame object (which would make a reference cycle).
struct PyFrame {
    std::shared_ptr<frame::FrameRecord> rec;
    nb::object control;   // FSOEFrameControl over words 0-3
    nb::object safe_data; // U16Array over words 4-11
    nb::object crcs;      // U16Array over words 12-19

    explicit PyFrame(unsigned safe_data_size);
    // A frame viewing a record that lives elsewhere (a Master's), kept alive by `record`.
    explicit PyFrame(std::shared_ptr<frame::FrameRecord> record);
    frame::FrameRecord& r() { return *rec; }
};

struct PyFrameControl {
    std::shared_ptr<void> keep; // owner of the record
    frame::FrameControl* ctl;
};

struct PyU16Array {
    std::shared_ptr<void> keep; // owner of the words
    uint16_t* pu16;
    uint32_t count;
};

// The FSOECommand member for a command word, or nullptr when it is no command.
PyObject* command_member(uint16_t word);

// Frame operations with the trace, as the Python methods and the handler use them.
void generate_crcs_traced(frame::FrameRecord& f);
bool check_crcs_traced(const frame::FrameRecord& f);
void generate_crcs_cyclic_traced(frame::FrameRecord& f, uint16_t last_sent_crc_0);
bool check_crcs_cyclic_traced(frame::FrameRecord& f, uint16_t last_sent_crc_0);

// Refuses a safe-data size the record cannot hold.
void check_size_fits(unsigned n);

// Trace (diagnostic log). trace_on() reads the module attribute at every call.
bool trace_on();
void log_transition(nb::handle transition_name);
void log_generate_crc(const frame::FrameRecord& f);
void log_check_crc(const uint16_t calc[frame::MAX_CRC_WORDS], const frame::FrameRecord& f,
                   bool result);

} // namespace tarnwick::py
