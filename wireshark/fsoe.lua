-- FSoE (Fail Safe over EtherCAT) frames inside EtherCAT process-data datagrams: a
-- postdissector for Wireshark 4.0 (Lua 5.2). Each frame's CRCs are checked with the
-- numbering its sender used, learnt by following the conversation of its address.
--
-- Install: copy to ~/.local/lib/wireshark/plugins/ or load with -X lua_script:fsoe.lua.

local fsoe = Proto("fsoe", "Fail Safe over EtherCAT")

local RESET, SESSION = 0x2A, 0x4E
local COMMANDS = {
    [RESET] = "Reset",
    [SESSION] = "Session",
    [0x64] = "Connection",
    [0x52] = "Parameter",
    [0x36] = "ProcessData",
    [0x08] = "FailSafeData",
}
-- The error codes a Reset frame carries in its first safe-data byte.
local ERRORS = {
    [0] = "RESET", "INVALID_CMD", "UNKNOWN_CMD", "INVALID_CONNID", "INVALID_CRC",
    "WD_EXPIRED", "INVALID_ADDRESS", "INVALID_DATA", "INVALID_COMMPARALEN",
    "INVALID_COMPARA", "INVALID_USERPARALEN", "INVALID_USERPARA",
}
for code = 128, 255 do ERRORS[code] = "INVALID_SAFEPARA_" .. code end

local SIZES = { 1, 2, 4, 6, 8, 10, 12, 14, 16 } -- safe-data bytes a frame can carry
local LENGTH_SIZES = {} -- frame length on the wire -> safe-data size
for _, n in ipairs(SIZES) do LENGTH_SIZES[n == 1 and 6 or 2 * n + 3] = n end

local CMD_LRD, CMD_LWR, CMD_LRW = 0x0A, 0x0B, 0x0C -- logical read, write, read-write
local DATAGRAM_HEADER = 10 -- cmd, idx, address (4), length (2), IRQ (2) before the data
local MASTER, SLAVE, UNKNOWN = "master", "slave", "unknown"
local GOOD, BAD, UNVERIFIED = "good", "bad", "unverified"
local CRC_POLYNOMIAL = 0x39B7
-- The master may build a request that never reaches the wire (two events in one bus
-- cycle). Its Reset frames are numbered 1, or 2 when stepped past the Reset before;
-- its new session starts at 1, or goes on from its Reset frame's number.
local MASTER_UNSENT = 1
local MASTER_RESET_SEQS = { 1, 2 }
local MASTER_SESSION_SEQS = { 1, 2, 3 }

-- -- fields, expert infos, preferences ------------------------------------------------

local pf = {
    sender = ProtoField.string("fsoe.sender", "Sender"),
    cmd = ProtoField.uint8("fsoe.cmd", "Command", base.HEX, COMMANDS),
    size = ProtoField.uint8("fsoe.size", "Safe-data size", base.DEC),
    safe_data = ProtoField.bytes("fsoe.safe_data", "Safe data"),
    error = ProtoField.uint8("fsoe.error", "Error code", base.DEC, ERRORS),
    crc = ProtoField.uint16("fsoe.crc", "CRC", base.HEX),
    conn_id = ProtoField.uint16("fsoe.conn_id", "Connection id", base.HEX),
    crc_status = ProtoField.string("fsoe.crc.status", "CRC status"),
}
fsoe.fields = { pf.sender, pf.cmd, pf.size, pf.safe_data, pf.error, pf.crc, pf.conn_id,
    pf.crc_status }

local ef = {
    bad_crc = ProtoExpert.new("fsoe.crc.bad", "FSoE CRC differs from what its sender computed",
        expert.group.CHECKSUM, expert.severity.ERROR),
    reset = ProtoExpert.new("fsoe.reset", "FSoE connection reset",
        expert.group.SEQUENCE, expert.severity.WARN),
    malformed = ProtoExpert.new("fsoe.malformed", "Malformed FSoE frame",
        expert.group.MALFORMED, expert.severity.ERROR),
}
fsoe.experts = { ef.bad_crc, ef.reset, ef.malformed }

fsoe.prefs.master_offset = Pref.uint("Master frame offset", 0,
    "Byte offset of the master's FSoE frame in the output datagram (LWR or LRW)")
fsoe.prefs.master_size = Pref.uint("Master frame size", 0,
    "Bytes of the master's FSoE frame; 0: the rest of the datagram")
fsoe.prefs.slave_offset = Pref.uint("Slave frame offset", 0,
    "Byte offset of the slave's FSoE frame in the input datagram (LRD or LRW)")
fsoe.prefs.slave_size = Pref.uint("Slave frame size", 0,
    "Bytes of the slave's FSoE frame; 0: the rest of the datagram")

local ecat_data = Field.new("ecat.data")

-- -- CRC and frame layout ---------------------------------------------------------------

local CRC_TABLE = {}
for i = 0, 255 do
    local c = bit.lshift(i, 8)
    for _ = 1, 8 do
        c = bit.band(bit.band(c, 0x8000) ~= 0 and bit.bxor(bit.lshift(c, 1), CRC_POLYNOMIAL)
            or bit.lshift(c, 1), 0xFFFF)
    end
    CRC_TABLE[i] = c
end

local function crc16(bytes)
    local c = 0
    for _, b in ipairs(bytes) do
        c = bit.band(bit.bxor(bit.lshift(c, 8), CRC_TABLE[bit.bxor(bit.rshift(c, 8), b)]), 0xFFFF)
    end
    return c
end

local function put16(t, v)
    t[#t + 1] = bit.band(v, 0xFF)
    t[#t + 1] = bit.rshift(bit.band(v, 0xFFFF), 8)
end

-- CRC_i of each safe-data block: seed (the partner's last CRC_0), connection id,
-- sequence number, command, the block number from the second block on, the block's
-- bytes and three zero bytes.
local function block_crcs(f, seq, seed)
    local crcs = {}
    for i = 0, #f.crcs - 1 do
        local input = {}
        put16(input, seed)
        put16(input, f.conn_id)
        put16(input, seq)
        input[#input + 1] = f.command
        if i > 0 then put16(input, i) end
        for k = 2 * i + 1, math.min(2 * i + 2, #f.data) do input[#input + 1] = f.data[k] end
        for _ = 1, 3 do input[#input + 1] = 0 end
        crcs[i + 1] = crc16(input)
    end
    return crcs
end

-- The fields of a frame of `size` safe-data bytes, with the ranges they came from.
local function parse(range, size)
    local f = { command = range(0, 1):uint(), data = {}, crcs = {}, crc_ranges = {},
        raw = range:bytes():tohex() }
    local blocks = size == 1 and 1 or size / 2
    for j = 0, blocks - 1 do
        local at = 1 + 4 * j
        for k = 0, math.min(size, 2) - 1 do f.data[#f.data + 1] = range(at + k, 1):uint() end
        local crc_at = at + math.min(size, 2)
        f.crcs[j + 1] = range(crc_at, 2):le_uint()
        f.crc_ranges[j + 1] = range(crc_at, 2)
    end
    f.conn_id = range(range:len() - 2, 2):le_uint()
    return f
end

-- -- following a conversation -----------------------------------------------------------

local function next_seq(seq)
    return seq >= 0xFFFF and 1 or seq + 1
end

local function new_side()
    return { seq = nil, seed = 0, last_crc0 = nil, last = nil, last_status = UNVERIFIED }
end

-- (sequence number, seed, whether the never-the-same-CRC_0 step applies) the sender
-- may have built the frame with, the likeliest first.
local function candidates(sender, side, partner, f)
    local list = {}
    if f.command == RESET then
        if sender == SLAVE then return { { 1, 0, false } } end -- never stepped
        for _, seq in ipairs(MASTER_RESET_SEQS) do list[#list + 1] = { seq, 0, true } end
        return list
    end
    if side.seq ~= nil then
        local seq = side.seq
        for _ = 1, sender == MASTER and MASTER_UNSENT + 1 or 1 do
            seq = next_seq(seq)
            list[#list + 1] = { seq, side.seed, true }
        end
    end
    if f.command == SESSION then -- a new session, numbered from 1 again
        if sender == MASTER then
            for _, seq in ipairs(MASTER_SESSION_SEQS) do list[#list + 1] = { seq, 0, true } end
        elseif partner.last_crc0 ~= nil then
            list[#list + 1] = { 1, partner.last_crc0, true }
        end
    end
    return list
end

local function matches(f, seq, seed)
    local crcs = block_crcs(f, seq, seed)
    for i, crc in ipairs(crcs) do
        if crc ~= f.crcs[i] then return false end
    end
    return true
end

local function stepped(f, seq, seed, last_crc0)
    while last_crc0 ~= nil and block_crcs(f, seq, seed)[1] == last_crc0 do seq = next_seq(seq) end
    return seq
end

-- The CRC status of a frame from `sender`; the conversation's numbering moves on.
local function follow(conv, sender, f)
    local side, partner = conv[sender], conv[sender == MASTER and SLAVE or MASTER]
    if f.raw == side.last then return side.last_status end -- the same frame again
    local status, used = UNVERIFIED, nil
    for _, c in ipairs(candidates(sender, side, partner, f)) do
        local seq = c[3] and stepped(f, c[1], c[2], side.last_crc0) or c[1]
        if used == nil then status, used = BAD, seq end
        if matches(f, seq, c[2]) then
            status, used = GOOD, seq
            break
        end
    end
    -- The slave numbers its next frame 1 after a Reset frame.
    side.seq = (f.command == RESET and sender == SLAVE) and 0 or used
    side.last, side.last_status, side.last_command = f.raw, status, f.command
    side.last_crc0 = f.crcs[1]
    if f.command == RESET then side.seed = 0 end
    -- The partner seeds its next frame with this CRC_0; the master keeps 0 while in Reset.
    if sender == MASTER or partner.last_command ~= RESET then partner.seed = f.crcs[1] end
    return status
end

-- Conversations by datagram address, and each packet's statuses from the first pass:
-- Wireshark dissects packets again, and out of order, once the file is read.
local conversations, results = {}, {}

function fsoe.init()
    conversations, results = {}, {}
end

-- -- dissecting -------------------------------------------------------------------------

local function safe_data_item(tree, range, f)
    if #f.data <= 2 then return tree:add(pf.safe_data, range(1, #f.data)) end
    local bytes = ByteArray.new()
    bytes:set_size(#f.data)
    for i, b in ipairs(f.data) do bytes:set_index(i - 1, b) end
    return tree:add(pf.safe_data, bytes:tvb("FSoE safe data")())
end

local function status_of(pinfo, slot, sender, address, f)
    local stored = results[pinfo.number]
    if pinfo.visited and stored ~= nil and stored[slot] ~= nil then return stored[slot] end
    local status = UNVERIFIED
    if sender ~= UNKNOWN then
        conversations[address] = conversations[address] or { [MASTER] = new_side(), [SLAVE] = new_side() }
        status = follow(conversations[address], sender, f)
    end
    results[pinfo.number] = stored or {}
    results[pinfo.number][slot] = status
    return status
end

-- One FSoE frame: the tree, and a one-line summary for the Info column.
local function dissect_frame(range, sender, address, slot, pinfo, tree)
    local item = tree:add(fsoe, range)
    item:add(pf.sender, sender):set_generated()
    local size = LENGTH_SIZES[range:len()]
    if size == nil then
        item:add_proto_expert_info(ef.malformed, range:len() .. " bytes is no FSoE frame length")
        return sender .. " malformed (" .. range:len() .. " bytes)"
    end
    local f = parse(range, size)
    local name = COMMANDS[f.command] or string.format("Unknown(0x%02X)", f.command)
    local cmd = item:add(pf.cmd, range(0, 1))
    if COMMANDS[f.command] == nil then
        cmd:add_proto_expert_info(ef.malformed, string.format("Unknown command 0x%02X", f.command))
    end
    item:add(pf.size, size):set_generated()
    safe_data_item(item, range, f)
    local status = status_of(pinfo, slot, sender, address, f)
    for i, crc_range in ipairs(f.crc_ranges) do
        item:add_le(pf.crc, crc_range):append_text(" [" .. status .. "]")
    end
    item:add_le(pf.conn_id, range(range:len() - 2, 2))
    local summary = string.format("%s %s conn 0x%04X CRC %s", sender, name, f.conn_id, status)
    if f.command == RESET then
        local code = f.data[1]
        local error = ERRORS[code] or ("UNKNOWN_ERROR_" .. code)
        item:add(pf.error, range(1, 1))
        item:add_proto_expert_info(ef.reset, "Reset by the " .. sender .. ": " .. error)
        summary = summary .. " error " .. error
    end
    local status_item = item:add(pf.crc_status, status):set_generated()
    if status == BAD then status_item:add_proto_expert_info(ef.bad_crc) end
    item:append_text(", " .. name .. ", CRC " .. status)
    return summary
end

-- The FSoE frames a datagram carries, as (range, sender): with the default preferences
-- its whole data, the sender told by the command; a real bus's LRW datagram carries the
-- master's frame and the slave's at the offsets the preferences give.
local function frames_of(command, data)
    local p = fsoe.prefs
    local function slice(offset, size)
        if offset >= data:len() then return nil end
        local len = size == 0 and data:len() - offset or math.min(size, data:len() - offset)
        return data(offset, len)
    end
    local found = {}
    local function take(offset, size, sender)
        local r = slice(offset, size)
        if r ~= nil then found[#found + 1] = { r, sender } end
    end
    if command == CMD_LWR then
        take(p.master_offset, p.master_size, MASTER)
    elseif command == CMD_LRD then
        take(p.slave_offset, p.slave_size, SLAVE)
    elseif command == CMD_LRW then
        if p.master_size == 0 and p.slave_size == 0 then
            take(0, 0, UNKNOWN)
        else
            if p.master_size > 0 then take(p.master_offset, p.master_size, MASTER) end
            if p.slave_size > 0 then take(p.slave_offset, p.slave_size, SLAVE) end
        end
    end
    return found
end

function fsoe.dissector(tvb, pinfo, tree)
    local summaries, slot = {}, 0
    for _, fi in ipairs({ ecat_data() }) do
        local at = fi.offset - DATAGRAM_HEADER
        if at >= 0 and fi.offset + fi.len <= tvb:len() and fi.len > 0 then
            local command, address = tvb(at, 1):uint(), tvb(at + 2, 4):le_uint()
            for _, frame in ipairs(frames_of(command, fi.range)) do
                slot = slot + 1
                summaries[#summaries + 1] = dissect_frame(frame[1], frame[2], address, slot, pinfo, tree)
            end
        end
    end
    if #summaries > 0 then
        pinfo.cols.protocol:set("FSoE")
        pinfo.cols.info:set(table.concat(summaries, "; "))
    end
end

register_postdissector(fsoe)
