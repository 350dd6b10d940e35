// The codec against the shared frame vectors (tests/vectors/frames.txt): every good row's
// CRCs check with its sequence number and seed, every bad row's fail.
#include "tarnwick/frame.hpp"

#include <doctest/doctest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

using namespace tarnwick::frame;

namespace {

struct Row {
    std::string name, status;
    unsigned seq = 0, seed = 0, conn_id = 0;
    std::vector<uint8_t> wire;
};

std::vector<uint8_t> from_hex(const std::string& hex) {
    std::vector<uint8_t> bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    return bytes;
}

std::vector<Row> read_rows() {
    std::ifstream in(FSOE_FRAME_VECTORS);
    REQUIRE(in.good());
    std::vector<Row> rows;
    std::string line, sender, size, command, hex;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream fields(line);
        Row r;
        fields >> r.name >> sender >> size >> command >> r.seq >> r.seed >> r.conn_id >> r.status >>
            hex;
        REQUIRE_FALSE(fields.fail());
        r.wire = from_hex(hex);
        rows.push_back(r);
    }
    return rows;
}

} // namespace

TEST_CASE("the codec checks the shared frame vectors as they are marked") {
    std::vector<Row> rows = read_rows();
    CHECK(rows.size() > 50);
    for (const Row& row : rows) {
        CAPTURE(row.name);
        FrameRecord f{};
        f.control.sequence_number = static_cast<uint16_t>(row.seq);
        f.control.crc0 = static_cast<uint16_t>(row.seed);
        parse(f, row.wire.data(), row.wire.size());
        uint16_t calc[MAX_CRC_WORDS];
        CHECK(check_crcs(f, calc) == (row.status == "good"));
        CHECK(f.control.connection_id == row.conn_id);
        CHECK(f.control.command == row.wire[0]);
    }
}
