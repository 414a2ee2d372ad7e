-- SPDX-License-Identifier: GPL-3.0-or-later
-- Wireshark dissector for the Vexa module protocol: request and response
-- frames over TCP 2004 and UDP 2005, reassembled over TCP by their length
-- field, each response linked to the request it answers.
--
-- Copy it into Wireshark's Lua plug-in folder (Help, About Wireshark,
-- Folders: "Personal Lua Plugins" or "Global Lua Plugins"), or load it once
-- with  tshark -X lua_script:vexa.lua ...

-- Offsets and sizes, in bytes from the start of a frame. They must agree
-- with the project's one frame-layout description (src/codec/frame_layout.h);
-- the test suite compares the two line by line, so every entry here is a
-- plain number on a line of its own.
local layout = {
    company_id_offset = 0,
    company_id_size = 10,
    reserved_offset = 10,
    reserved_size = 3,
    source_offset = 13,
    invoke_id_offset = 14,
    invoke_id_size = 2,
    length_offset = 16,
    length_size = 2,
    header_pad_offset = 18,
    checksum_offset = 19,
    header_size = 20,
    checksum_first = 0,
    checksum_last = 18,
    command_offset = 20,
    data_type_offset = 22,
    body_pad_offset = 24,
    field_pair_size = 2,
    var_no_offset = 26,
    request_data_offset = 28,
    state_offset = 26,
    code_offset = 28,
    response_data_offset = 30,
    tcp_port = 2004,
    udp_port = 2005,
}

local vexa = Proto("vexa", "Vexa module protocol")

-- Wireshark's checksum status values.
local CHECKSUM_BAD, CHECKSUM_GOOD, CHECKSUM_UNVERIFIED = 0, 1, 2

local f = vexa.fields
f.company_id = ProtoField.string("vexa.company_id", "Company ID")
f.source = ProtoField.bytes("vexa.source", "Source")
f.invoke_id = ProtoField.bytes("vexa.invoke_id", "Invoke ID")
f.length = ProtoField.uint16("vexa.length", "Length", base.DEC, nil, nil, "Body bytes after the header")
f.checksum = ProtoField.bytes("vexa.checksum", "Checksum")
f.checksum_status = ProtoField.uint8("vexa.checksum.status", "Checksum Status", base.DEC,
    { [CHECKSUM_BAD] = "Bad", [CHECKSUM_GOOD] = "Good", [CHECKSUM_UNVERIFIED] = "Unverified" })
f.command = ProtoField.bytes("vexa.command", "Command")
f.data_type = ProtoField.bytes("vexa.data_type", "Data Type")
f.var_no = ProtoField.bytes("vexa.var_no", "Var No")
f.state = ProtoField.bytes("vexa.state", "State")
f.code = ProtoField.bytes("vexa.code", "Code/No")
f.data = ProtoField.bytes("vexa.data", "Data")
f.trailing = ProtoField.bytes("vexa.trailing", "Bytes past the length field")
f.not_header = ProtoField.bytes("vexa.not_header", "Bytes that cannot start a header")
f.response_in = ProtoField.framenum("vexa.response_in", "Response in", base.NONE, frametype.RESPONSE)
f.request_in = ProtoField.framenum("vexa.request_in", "Request in", base.NONE, frametype.REQUEST)
f.time = ProtoField.relative_time("vexa.time", "Response time", "Time since the request")
f.no_response = ProtoField.string("vexa.no_response", "No response")

local e = vexa.experts
e.checksum_bad = ProtoExpert.new("vexa.checksum.bad", "Checksum does not match the header",
    expert.group.CHECKSUM, expert.severity.ERROR)
e.length_bad = ProtoExpert.new("vexa.length.bad", "Length field does not fit what arrived",
    expert.group.MALFORMED, expert.severity.ERROR)
e.short = ProtoExpert.new("vexa.short", "Frame shorter than its fixed fields",
    expert.group.MALFORMED, expert.severity.ERROR)
e.not_header = ProtoExpert.new("vexa.not_header.expert", "Bytes that cannot start a header",
    expert.group.MALFORMED, expert.severity.ERROR)
e.unmatched = ProtoExpert.new("vexa.unmatched", "Response to no request",
    expert.group.SEQUENCE, expert.severity.WARN)
e.company_id_differs = ProtoExpert.new("vexa.company_id.differs", "Company ID is not the request's",
    expert.group.SEQUENCE, expert.severity.WARN)
e.unanswered = ProtoExpert.new("vexa.unanswered", "Request never answered",
    expert.group.SEQUENCE, expert.severity.WARN)

vexa.prefs.tcp_port = Pref.uint("TCP port", layout.tcp_port, "TCP port the module listens on")
vexa.prefs.udp_port = Pref.uint("UDP port", layout.udp_port, "UDP port the module listens on")
vexa.prefs.check_checksum = Pref.bool("Verify the header checksum", true,
    "Compare the checksum byte with the sum of the header bytes before it")

local frame_time = Field.new("frame.time")
local tcp_stream = Field.new("tcp.stream")
local udp_stream = Field.new("udp.stream")

-- What the first pass over the capture worked out, kept for later passes:
-- per conversation the requests still waiting, and per frame (and position
-- in it) the link each request or response has.
local conversations = {}
local links = {}

function vexa.init()
    conversations = {}
    links = {}
end

local function hex(range)
    return range:bytes():tohex()
end

-- The checksum is the sum modulo 256 of every header byte before it.
local function header_sum(tvb)
    local sum = 0
    for i = layout.checksum_first, layout.checksum_last do
        sum = (sum + tvb(i, 1):uint()) % 256
    end
    return sum
end

-- False once a byte already present rules out a header: a reserved or pad
-- byte that is not zero. Bytes not yet there are given the benefit.
local function can_start_header(tvb, offset)
    local left = tvb:len() - offset
    local function zero_if_present(at)
        return at >= left or tvb(offset + at, 1):uint() == 0
    end
    for i = 0, layout.reserved_size - 1 do
        if not zero_if_present(layout.reserved_offset + i) then
            return false
        end
    end
    return zero_if_present(layout.header_pad_offset)
end

local function body_length(tvb)
    return tvb(layout.length_offset, layout.length_size):le_uint()
end

-- The oldest waiting request with this invoke ID answers; over TCP the
-- module answers in order, so every request still waiting before it is
-- given up.
local function link_response(conversation, invoke_id, is_tcp)
    for i, request in ipairs(conversation) do
        if request.invoke_id == invoke_id then
            table.remove(conversation, i)
            if is_tcp then
                for _ = 1, i - 1 do
                    table.remove(conversation, 1).overtaken = true
                end
            end
            return request
        end
    end
    return nil
end

local function conversation_key(pinfo, is_tcp, is_response)
    local stream = is_tcp and tcp_stream() or udp_stream()
    local client, client_port = tostring(pinfo.src), pinfo.src_port
    if is_response then
        client, client_port = tostring(pinfo.dst), pinfo.dst_port
    end
    return (is_tcp and "tcp " or "udp ") .. (stream and tostring(stream.value) or "")
        .. " " .. client .. ":" .. client_port
end

local function field_pair(tree, field, tvb, offset)
    if tvb:len() >= offset + layout.field_pair_size then
        return tree:add(field, tvb(offset, layout.field_pair_size))
    end
end

-- The header: every field there is room for, the checksum checked.
local function dissect_header(tvb, tree)
    local len = tvb:len()
    if len >= layout.company_id_offset + layout.company_id_size then
        tree:add_packet_field(f.company_id, tvb(layout.company_id_offset, layout.company_id_size), ENC_ISO_8859_1)
    end
    if len > layout.source_offset then
        tree:add(f.source, tvb(layout.source_offset, 1))
    end
    if len >= layout.invoke_id_offset + layout.invoke_id_size then
        tree:add(f.invoke_id, tvb(layout.invoke_id_offset, layout.invoke_id_size))
    end
    if len >= layout.length_offset + layout.length_size then
        tree:add_le(f.length, tvb(layout.length_offset, layout.length_size))
    end
    if len <= layout.checksum_offset then
        return
    end
    local checksum = tvb(layout.checksum_offset, 1)
    local item = tree:add(f.checksum, checksum)
    local status = CHECKSUM_UNVERIFIED
    if vexa.prefs.check_checksum then
        local sum = header_sum(tvb)
        status = sum == checksum:uint() and CHECKSUM_GOOD or CHECKSUM_BAD
        if status == CHECKSUM_BAD then
            item:add_proto_expert_info(e.checksum_bad,
                string.format("Checksum %02X, the header sums to %02X", checksum:uint(), sum))
        end
    end
    tree:add(f.checksum_status, status):set_generated()
end

-- The body: command and data type, then Var No (request) or state and
-- Code/No (response), then the data up to `data_end`.
local function dissect_body(tvb, tree, is_response, data_end)
    field_pair(tree, f.command, tvb, layout.command_offset)
    field_pair(tree, f.data_type, tvb, layout.data_type_offset)
    local data_offset
    if is_response then
        field_pair(tree, f.state, tvb, layout.state_offset)
        field_pair(tree, f.code, tvb, layout.code_offset)
        data_offset = layout.response_data_offset
    else
        field_pair(tree, f.var_no, tvb, layout.var_no_offset)
        data_offset = layout.request_data_offset
    end
    if data_end > data_offset then
        tree:add(f.data, tvb(data_offset, data_end - data_offset))
    end
end

local function show_links(tvb, pinfo, tree, link, is_response)
    if not link then
        return
    end
    if is_response then
        if link.request then
            tree:add(f.request_in, link.request.frame):set_generated()
            tree:add(f.time, link.time):set_generated()
            if link.company_id ~= link.request.company_id then
                tree:add_proto_expert_info(e.company_id_differs,
                    string.format("Company ID \"%s\", the request's \"%s\"", link.company_id,
                        link.request.company_id))
            end
        else
            tree:add_proto_expert_info(e.unmatched,
                string.format("Response to no request: no request waits with invoke ID %s", link.invoke_id))
        end
    elseif link.response_frame then
        tree:add(f.response_in, link.response_frame):set_generated()
    elseif pinfo.visited then
        -- Only once the whole capture has been read is "never" known.
        local why = link.overtaken and "a later request was answered first" or "none in the capture"
        local item = tree:add(f.no_response, why)
        item:set_generated()
        item:add_proto_expert_info(e.unanswered, "Request never answered: " .. why)
    end
end

-- On the first pass, records the request, or links the response to the
-- request it answers.
local function record(pinfo, tvb, key, is_tcp, is_response)
    if pinfo.visited or links[key] or tvb:len() < layout.invoke_id_offset + layout.invoke_id_size then
        return links[key]
    end
    local company_id = tvb:len() >= layout.company_id_size
        and tvb(layout.company_id_offset, layout.company_id_size):string(ENC_ISO_8859_1) or ""
    local invoke_id = hex(tvb(layout.invoke_id_offset, layout.invoke_id_size))
    local conv_key = conversation_key(pinfo, is_tcp, is_response)
    local conversation = conversations[conv_key] or {}
    conversations[conv_key] = conversation
    local link
    if is_response then
        link = { invoke_id = invoke_id, company_id = company_id }
        local request = link_response(conversation, invoke_id, is_tcp)
        if request then
            link.request = request
            link.time = frame_time().value - request.time
            request.response_frame = pinfo.number
        end
    else
        link = { frame = pinfo.number, time = frame_time().value, invoke_id = invoke_id,
                 company_id = company_id }
        table.insert(conversation, link)
    end
    links[key] = link
    return link
end

-- One frame, whole as the length field counts it over TCP, or one datagram.
local function dissect_frame(tvb, pinfo, root, key, is_tcp, is_response)
    local len = tvb:len()
    local tree = root:add(vexa, tvb(), is_response and "Vexa module protocol, response"
        or "Vexa module protocol, request")
    dissect_header(tvb, tree)
    local fixed = is_response and layout.response_data_offset or layout.request_data_offset
    -- Over UDP a datagram can hold more than the length field counts: the
    -- data stops where the field says, and the rest is shown apart.
    local data_end = len
    if len >= layout.header_size then
        local announced = layout.header_size + body_length(tvb)
        if announced ~= len then
            tree:add_proto_expert_info(e.length_bad, string.format(
                "Length field says %d body bytes (a %d-byte frame), %d bytes arrived",
                announced - layout.header_size, announced, len))
        end
        if announced < len then
            data_end = math.max(announced, fixed)
        end
    end
    dissect_body(tvb, tree, is_response, data_end)
    if data_end < len then
        tree:add(f.trailing, tvb(data_end, len - data_end))
    end
    if len < fixed then
        tree:add_proto_expert_info(e.short, string.format("%d bytes, shorter than a %s (%d)", len,
            is_response and "response" or "request", fixed))
    end

    local link = record(pinfo, tvb, key, is_tcp, is_response)
    show_links(tvb, pinfo, tree, link, is_response)

    local info = is_response and "Response" or "Request"
    if len >= layout.invoke_id_offset + layout.invoke_id_size then
        info = info .. " invoke " .. hex(tvb(layout.invoke_id_offset, layout.invoke_id_size))
    end
    if len >= layout.command_offset + layout.field_pair_size then
        info = info .. " command " .. hex(tvb(layout.command_offset, layout.field_pair_size))
    end
    if is_response and len >= layout.code_offset + layout.field_pair_size then
        info = info .. " state " .. hex(tvb(layout.state_offset, layout.field_pair_size))
            .. " code " .. hex(tvb(layout.code_offset, layout.field_pair_size))
    end
    return info
end

local function add_info(pinfo, info)
    if pinfo.private.vexa_info == "set" then
        pinfo.cols.info:append(", " .. info)
    else
        pinfo.cols.info:set(info)
        pinfo.private.vexa_info = "set"
    end
end

-- Bytes from `offset` on that no header can start with: not guessed at.
local function show_not_header(tvb, pinfo, root, offset)
    local item = root:add(vexa, tvb(offset), "Vexa module protocol, bytes that cannot start a header")
    item:add(f.not_header, tvb(offset))
    item:add_proto_expert_info(e.not_header)
    add_info(pinfo, string.format("%d bytes that cannot start a header", tvb:len() - offset))
end

function vexa.dissector(tvb, pinfo, root)
    pinfo.cols.protocol = "VEXA"
    local is_tcp = pinfo.port_type == 2
    -- The module's side of a conversation is the port its dissector was
    -- found by (a preference or Decode As): frames from it are responses.
    local is_response = pinfo.src_port == pinfo.match_uint
    local base_key = pinfo.number .. ":" .. tvb:offset() .. ":"
    local len = tvb:len()
    if not is_tcp then
        if can_start_header(tvb, 0) then
            add_info(pinfo, dissect_frame(tvb, pinfo, root, base_key .. 0, false, is_response))
        else
            show_not_header(tvb, pinfo, root, 0)
        end
        return len
    end

    local offset = 0
    while offset < len do
        if not can_start_header(tvb, offset) then
            -- The rest of the segment is shown as it is.
            show_not_header(tvb, pinfo, root, offset)
            return len
        end
        local left = len - offset
        if left < layout.header_size then
            pinfo.desegment_offset = offset
            pinfo.desegment_len = DESEGMENT_ONE_MORE_SEGMENT
            return len
        end
        local size = layout.header_size + body_length(tvb(offset):tvb())
        if left < size then
            pinfo.desegment_offset = offset
            pinfo.desegment_len = size - left
            return len
        end
        add_info(pinfo, dissect_frame(tvb(offset, size):tvb(), pinfo, root, base_key .. offset, true, is_response))
        offset = offset + size
    end
    return len
end

-- The module's ports, and whatever the preferences name instead.
local registered = { tcp = nil, udp = nil }

local function register_ports()
    local tables = { tcp = DissectorTable.get("tcp.port"), udp = DissectorTable.get("udp.port") }
    local wanted = { tcp = vexa.prefs.tcp_port, udp = vexa.prefs.udp_port }
    for transport, port_table in pairs(tables) do
        if registered[transport] ~= wanted[transport] then
            if registered[transport] then
                port_table:remove(registered[transport], vexa)
            end
            port_table:add(wanted[transport], vexa)
            registered[transport] = wanted[transport]
        end
    end
end

vexa.prefs_changed = register_ports
register_ports()
