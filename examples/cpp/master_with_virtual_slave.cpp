// The library master against the library virtual slave, one bus cycle per loop pass:
// the shape of a C++ EtherCAT application (your stack carries the two frames where
// this example hands them over directly). Built and run by ctest, and against the
// installed libraries by make package-test.
#include "tarnwick/master.hpp"
#include "tarnwick/sra_crc.hpp"
#include "tarnwick/virtual_slave.hpp"

#include <chrono>
#include <cstdio>

namespace {

constexpr uint16_t SLAVE_ADDRESS = 0x1234; // the virtual slave's own address
constexpr uint16_t CONNECTION_ID = 1;
constexpr uint16_t WATCHDOG_MS = 100;
constexpr unsigned SAFE_DATA_BYTES = 1; // the STO bit each way
constexpr uint32_t CYCLE_US = 1000;     // a 1 kHz bus
constexpr int CYCLES = 60;
const char* const STATE_NAMES[] = {"Reset", "Session", "Connection", "Parameter", "Data"};

// Prints every failure the master reports and every change of state.
class Printer : public tarnwick::MasterListener {
  public:
    void on_error(tarnwick::Master&, tarnwick::Transition t, const char* message) override {
        std::printf("error %s: %s\n", tarnwick::states::info(t).name, message);
    }
    void on_state_change(tarnwick::Master&, tarnwick::StateId, tarnwick::StateId to) override {
        std::printf("state %s\n", STATE_NAMES[static_cast<unsigned>(to)]);
    }
};

uint64_t monotonic_us() {
    using namespace std::chrono;
    return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

} // namespace

int main() {
    // The slave expects the CRC of its safety parameters as the one 4-byte application
    // parameter.
    const uint16_t sra_words[] = {0x0001, 0x0064, 0x03E8};
    const uint32_t sra_crc = tarnwick::frame::sra_crc(sra_words, 3);

    tarnwick::VirtualSlave::Settings slave_settings;
    slave_settings.sra_crc = sra_crc;
    slave_settings.safe_data_bytes = SAFE_DATA_BYTES;
    tarnwick::VirtualSlave slave(slave_settings);

    tarnwick::MasterConfig config;
    config.slave_address = SLAVE_ADDRESS;
    config.connection_id = CONNECTION_ID;
    config.watchdog_ms = WATCHDOG_MS;
    config.parameters = {{sra_crc, 4, {}}};
    config.output_bytes = config.input_bytes = SAFE_DATA_BYTES;
    config.session_id_seed = monotonic_us();
    tarnwick::Master master(config);
    Printer printer;
    tarnwick::MasterHooks hooks;
    hooks.listener = &printer;
    master.set_hooks(hooks);

    master.start(monotonic_us());
    for (int cycle = 0; cycle < CYCLES; ++cycle) {
        uint64_t now = monotonic_us();
        master.poll(now); // the watchdog, without a thread
        tarnwick::ConstBytes request = master.request();
        slave.set_request(request.data, request.size); // your stack: to the slave
        slave.advance_time(CYCLE_US);
        slave.process();
        uint8_t reply[2 * tarnwick::VirtualSlave::REPLY_AREA_WORDS];
        std::size_t n = slave.reply(reply); // your stack: from the slave
        master.set_reply(reply, n, now);
        if (master.state() == tarnwick::StateId::Data) { // connected: STO on
            master.set_fail_safe(false);
            master.outputs().data[0] = 1;
        }
    }
    bool sto = (master.inputs().data[0] & 1) != 0;
    std::printf("Data %s, STO status %s\n",
                master.state() == tarnwick::StateId::Data ? "yes" : "no", sto ? "on" : "off");
    master.stop(monotonic_us());
    return master.state() == tarnwick::StateId::Reset && sto ? 0 : 1;
}
