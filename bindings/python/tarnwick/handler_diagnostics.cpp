// MasterHandler.diagnostics(), reset_diagnostics() and history(): snapshots of the
// library Master's diagnostics and frame history, taken under the event lock so a
// watchdog expiry on its thread never changes them halfway through the copy.
#include "core/master/reports.hpp"
#include "tarnwick/handler_binding.hpp"

#include <vector>

namespace tarnwick::py {

namespace {

using states::StateId;

// The names the diagnostics use for the states: the master's state names without
// the class prefix, as in the C API ("Data").
constexpr const char* STATE_KEYS[states::STATE_COUNT + 1] = {"Reset",     "Session", "Connection",
                                                             "Parameter", "Data",    "Custom"};
constexpr const char* OUTCOME_NAMES[] = {"request", "taken", "repeated", "too long"};

// A copy of the Master's diagnostics with the moment it was taken, so the current
// state's time so far can be added to its total.
struct PyDiagnostics {
    MasterDiagnostics d;
    StateId state = StateId::Reset;
    Micros state_since_us = 0;
    Micros taken_at_us = 0;
};

struct PyErrorRecord {
    ErrorRecord e;
};

struct PyResponseTime {
    ResponseTime r;
};

struct PyHistoryEntry {
    HistoryEntry e;
};

nb::object error_or_none(const ErrorRecord& e) {
    return e.set ? nb::cast(PyErrorRecord{e}) : nb::none();
}

nb::dict transition_counts(const MasterDiagnostics& d) {
    nb::dict counts;
    for (unsigned i = 0; i < states::transition_count(); ++i)
        if (d.transitions[i]) counts[nb::str(states::TRANSITION_TABLE[i].name)] = d.transitions[i];
    return counts;
}

// Every built-in state, the custom one only once it was entered.
nb::dict state_times(const PyDiagnostics& p) {
    std::array<Micros, states::STATE_COUNT + 1> times = p.d.time_in_state_us;
    times[static_cast<unsigned>(p.state)] +=
        p.taken_at_us - std::min(p.taken_at_us, p.state_since_us);
    nb::dict out;
    for (unsigned i = 0; i <= states::STATE_COUNT; ++i)
        if (i < states::STATE_COUNT || times[i]) out[nb::str(STATE_KEYS[i])] = times[i];
    return out;
}

nb::str error_name(uint16_t code) {
    char buf[states::ERROR_NAME_BYTES];
    return nb::str(states::error_code_name(code, buf) ? buf : "UNKNOWN_ERROR");
}

// The time the snapshot is dated with: the latest event's, which the Master keeps.
PyDiagnostics snapshot(PyMasterHandler& h) {
    EventScope scope(h, false);
    const Master& m = *h.core;
    return {m.diagnostics(), m.state(), m.state_since_us(), m.now_us()};
}

nb::list history_list(PyMasterHandler& h) {
    std::vector<HistoryEntry> entries;
    {
        EventScope scope(h, false);
        entries.resize(h.core->history_size());
        entries.resize(h.core->copy_history(entries.data(), entries.size()));
    }
    nb::list out;
    for (const HistoryEntry& e : entries)
        out.append(PyHistoryEntry{e});
    return out;
}

void bind_response_time(nb::module_& m) {
    nb::class_<PyResponseTime> cls(
        m, "ResponseTime",
        "Time from publishing a request to taking the reply that answers it, in "
        "microseconds of the handler's clock and in cycles (replies delivered meanwhile, "
        "repeated ones included). All 0 while count is 0.");
    cls.def_prop_ro("count", [](const PyResponseTime& p) { return p.r.count; }, "Replies measured");
    cls.def_prop_ro("last_us", [](const PyResponseTime& p) { return p.r.last_us; });
    cls.def_prop_ro("min_us", [](const PyResponseTime& p) { return p.r.min_us; });
    cls.def_prop_ro("mean_us", [](const PyResponseTime& p) { return p.r.mean_us(); });
    cls.def_prop_ro("max_us", [](const PyResponseTime& p) { return p.r.max_us; });
    cls.def_prop_ro("last_cycles", [](const PyResponseTime& p) { return p.r.last_cycles; });
    cls.def_prop_ro("min_cycles", [](const PyResponseTime& p) { return p.r.min_cycles; });
    cls.def_prop_ro("mean_cycles", [](const PyResponseTime& p) { return p.r.mean_cycles(); });
    cls.def_prop_ro("max_cycles", [](const PyResponseTime& p) { return p.r.max_cycles; });
    cls.def("__repr__", [](const PyResponseTime& p) {
        return nb::str("ResponseTime(count={}, last_us={}, min_us={}, mean_us={:.1f}, "
                       "max_us={}, max_cycles={})")
            .format(p.r.count, p.r.last_us, p.r.min_us, p.r.mean_us(), p.r.max_us, p.r.max_cycles);
    });
}

void bind_error_record(nb::module_& m) {
    nb::class_<PyErrorRecord> cls(
        m, "ErrorRecord",
        "A failure the master reported: the transition taken, the text the error callback "
        "got, the FSoE error code (the slave's own for a reset by the slave, otherwise the "
        "code this master sent) and the time (microseconds of the handler's clock).");
    cls.def_prop_ro("transition", [](const PyErrorRecord& p) {
        return nb::str(states::info(p.e.transition).name);
    });
    cls.def_prop_ro("message", [](const PyErrorRecord& p) { return nb::str(p.e.message); });
    cls.def_prop_ro("error_code", [](const PyErrorRecord& p) { return p.e.code; });
    cls.def_prop_ro(
        "error_name", [](const PyErrorRecord& p) { return error_name(p.e.code); },
        "The code's name (e.g. INVALID_CRC), UNKNOWN_ERROR for a code naming none");
    cls.def_prop_ro("time_us", [](const PyErrorRecord& p) { return p.e.time_us; });
    cls.def("__repr__", [](const PyErrorRecord& p) {
        return nb::str("ErrorRecord(transition={!r}, message={!r}, error_code={} ({}), "
                       "time_us={})")
            .format(states::info(p.e.transition).name, nb::str(p.e.message), p.e.code,
                    error_name(p.e.code), p.e.time_us);
    });
}

void bind_diagnostics_counters(nb::class_<PyDiagnostics>& cls) {
    cls.def_prop_ro("requests_published",
                    [](const PyDiagnostics& p) { return p.d.requests_published; });
    cls.def_prop_ro(
        "replies_taken", [](const PyDiagnostics& p) { return p.d.replies_taken; },
        "Replies processed: each took one transition");
    cls.def_prop_ro(
        "replies_repeated", [](const PyDiagnostics& p) { return p.d.replies_repeated; },
        "Replies with the same bytes as the last one taken: ignored");
    cls.def_prop_ro(
        "replies_wrong_length", [](const PyDiagnostics& p) { return p.d.replies_wrong_length; },
        "Replies whose length is not the slave's frame length (nor it padded to "
        "whole words): a slave with another safe-data size shows here at once");
    cls.def_prop_ro(
        "last_wrong_length",
        [](const PyDiagnostics& p) -> nb::object {
            return p.d.replies_wrong_length ? nb::cast(p.d.last_wrong_length) : nb::none();
        },
        nb::sig("def last_wrong_length(self) -> int | None"),
        "The length of the last such reply, None while there was none");
    cls.def_prop_ro("watchdog_expiries",
                    [](const PyDiagnostics& p) { return p.d.watchdog_expiries; });
    cls.def_prop_ro(
        "resets_by_master", [](const PyDiagnostics& p) { return p.d.resets_by_master; },
        "Failures this master detected (it sent Reset frames for them)");
    cls.def_prop_ro(
        "resets_by_slave", [](const PyDiagnostics& p) { return p.d.resets_by_slave; },
        "Reset frames of the slave");
    cls.def_prop_ro(
        "last_slave_error_code", [](const PyDiagnostics& p) { return p.d.last_slave_code; },
        "The error code of the slave's last Reset frame (0 before any)");
    cls.def_prop_ro(
        "reconnections", [](const PyDiagnostics& p) { return p.d.reconnections; },
        "Entries into the Data state after the first");
}

void bind_diagnostics(nb::module_& m) {
    nb::class_<PyDiagnostics> cls(
        m, "Diagnostics",
        "What a master connection has seen since it was made or its diagnostics were reset "
        "(MasterHandler.diagnostics() takes this snapshot). Times are microseconds of the "
        "handler's clock: clock= when given, else the monotonic clock of time.monotonic().");
    bind_diagnostics_counters(cls);
    cls.def_prop_ro(
        "transitions", [](const PyDiagnostics& p) { return transition_counts(p.d); },
        nb::sig("def transitions(self) -> dict[str, int]"),
        "How often each transition was taken, by name (those taken only)");
    cls.def_prop_ro(
        "first_error", [](const PyDiagnostics& p) { return error_or_none(p.d.first_error); },
        nb::sig("def first_error(self) -> ErrorRecord | None"));
    cls.def_prop_ro(
        "last_error", [](const PyDiagnostics& p) { return error_or_none(p.d.last_error); },
        nb::sig("def last_error(self) -> ErrorRecord | None"));
    cls.def_prop_ro("time_in_state_us", &state_times,
                    nb::sig("def time_in_state_us(self) -> dict[str, int]"),
                    "Time spent in each state (Reset, Session, Connection, Parameter, Data; "
                    "Custom once an application's own state ran), the current one up to the "
                    "latest event");
    cls.def_prop_ro("response_time",
                    [](const PyDiagnostics& p) { return PyResponseTime{p.d.response}; });
    cls.def_prop_ro(
        "time_us", [](const PyDiagnostics& p) { return p.taken_at_us; },
        "The time of the latest event before the snapshot");
    cls.def("__repr__", [](const PyDiagnostics& p) {
        return nb::str("Diagnostics(requests_published={}, replies_taken={}, "
                       "replies_repeated={}, replies_wrong_length={}, watchdog_expiries={}, "
                       "resets_by_master={}, resets_by_slave={}, reconnections={})")
            .format(p.d.requests_published, p.d.replies_taken, p.d.replies_repeated,
                    p.d.replies_wrong_length, p.d.watchdog_expiries, p.d.resets_by_master,
                    p.d.resets_by_slave, p.d.reconnections);
    });
}

void bind_history_entry(nb::module_& m) {
    nb::class_<PyHistoryEntry> cls(
        m, "HistoryEntry",
        "One frame of a handler's history: who sent it, when (microseconds of the handler's "
        "clock), its bytes, what became of it and the transition it caused (a request: the "
        "transition after which it was built).");
    cls.def_prop_ro(
        "index", [](const PyHistoryEntry& p) { return p.e.index; },
        "Order of arrival over both directions");
    cls.def_prop_ro("time_us", [](const PyHistoryEntry& p) { return p.e.time_us; });
    cls.def_prop_ro("from_master", [](const PyHistoryEntry& p) { return p.e.from_master; });
    cls.def_prop_ro(
        "data",
        [](const PyHistoryEntry& p) {
            return nb::bytes(reinterpret_cast<const char*>(p.e.bytes), p.e.stored_size());
        },
        "The frame's bytes (of a reply longer than any frame, the first 36)");
    cls.def_prop_ro(
        "size", [](const PyHistoryEntry& p) { return p.e.size; }, "The frame's whole length");
    cls.def_prop_ro(
        "repeats", [](const PyHistoryEntry& p) { return p.e.repeats; },
        "A reply: how often it was delivered again unchanged (ignored) after it");
    cls.def_prop_ro(
        "last_repeat_us", [](const PyHistoryEntry& p) { return p.e.last_repeat_us; },
        "The time of its last such repetition (0 without one)");
    cls.def_prop_ro(
        "outcome",
        [](const PyHistoryEntry& p) {
            return nb::str(OUTCOME_NAMES[static_cast<unsigned>(p.e.outcome)]);
        },
        nb::sig("def outcome(self) -> typing.Literal['request', 'taken', 'repeated', "
                "'too long']"),
        "request; or for a reply: taken (processed), repeated (ignored) or too long (refused)");
    cls.def_prop_ro(
        "transition",
        [](const PyHistoryEntry& p) -> nb::object {
            if (!p.e.has_transition) return nb::none();
            return nb::str(states::info(p.e.transition).name);
        },
        nb::sig("def transition(self) -> str | None"));
    cls.def("__repr__", [](const PyHistoryEntry& p) {
        nb::bytes data(reinterpret_cast<const char*>(p.e.bytes), p.e.stored_size());
        return nb::str("HistoryEntry(index={}, time_us={}, from_master={}, outcome={!r}, "
                       "transition={!r}, repeats={}, data={})")
            .format(p.e.index, p.e.time_us, p.e.from_master,
                    nb::str(OUTCOME_NAMES[static_cast<unsigned>(p.e.outcome)]),
                    p.e.has_transition ? nb::str(states::info(p.e.transition).name) : nb::none(),
                    p.e.repeats, data.attr("hex")(" "));
    });
}

} // namespace

void init_diagnostics(nb::module_& m) {
    bind_response_time(m);
    bind_error_record(m);
    bind_diagnostics(m);
    bind_history_entry(m);
}

void bind_handler_diagnostics(nb::class_<PyMasterHandler>& cls) {
    cls.def("diagnostics", &snapshot,
            "A snapshot of what the connection has seen: counters, transitions, resets by "
            "either side, first and last error, time per state, response time (Diagnostics)");
    cls.def(
        "reset_diagnostics",
        [](PyMasterHandler& h) {
            EventScope scope(h, false);
            h.core->reset_diagnostics();
        },
        "Start the diagnostics and the frame history over");
    cls.def("history", &history_list, nb::sig("def history(self) -> list[HistoryEntry]"),
            "The frames the history holds (history_frames= each way), oldest first; empty "
            "when the handler keeps none. Safe inside the callbacks.");
    cls.def_prop_ro(
        "history_frames", [](PyMasterHandler& h) { return h.core->history_capacity(); },
        "Frames kept each way by the history (0: none)");
}

} // namespace tarnwick::py
