-- teldrv.lua: Wireshark dissector for the teldrv modem link (docs/capture.md).
-- Install: copy into the personal Lua plugins folder (~/.local/lib/wireshark/plugins
-- on Linux, %APPDATA%\Wireshark\plugins on Windows), then open a teldrv capture.
-- Interface "line" (LINKTYPE_USER0): one direction's bytes a packet, a link frame
-- or the bytes between frames. Interface "events" (LINKTYPE_USER1): line events as text.
-- Written against the Lua API of Wireshark 4.0 (Lua 5.2) and kept to what Lua 5.4 runs too.

local teldrv = Proto("teldrv", "teldrv modem link")
local events = Proto("teldrv_events", "teldrv line events")

local REQUESTS = {
  [0x53] = { name = "FE_REQ_STATION", len = { [1] = true } },
  [0x43] = { name = "FE_REQ_SYNC_CLOCK", len = { [17] = true } },
  [0x58] = { name = "FE_REQ_HANG_UP", len = { [1] = true } },
  [0x4F] = { name = "FE_REQ_START_ONLINE", len = { [1] = true } },
  [0x4D] = { name = "FE_REQ_CONT_ONLINE", len = { [2] = true, [8] = true } },
  [0x48] = { name = "FE_REQ_START_HISTORY", len = { [5] = true } },
  [0x54] = { name = "FE_REQ_CONT_HISTORY", len = { [2] = true } },
}
local REJECTED = 0x40
local MAX_BODY = 1280

local code_names = { [REJECTED] = "rejected (@)" }
for code, r in pairs(REQUESTS) do
  code_names[code] = r.name
  code_names[code + 0x20] = "answer to " .. r.name
end

local f = {
  stx = ProtoField.uint8("teldrv.stx", "STX", base.HEX),
  magic = ProtoField.string("teldrv.magic", "Magic"),
  tag = ProtoField.uint16("teldrv.tag", "Frame tag", base.HEX),
  length = ProtoField.uint16("teldrv.length", "Body length", base.DEC),
  dle = ProtoField.uint8("teldrv.dle", "DLE", base.HEX),
  body = ProtoField.bytes("teldrv.body", "Body"),
  checksum = ProtoField.uint16("teldrv.checksum", "Checksum", base.HEX),
  checksum_computed = ProtoField.uint16("teldrv.checksum.computed", "Computed checksum", base.HEX),
  checksum_status = ProtoField.string("teldrv.checksum.status", "Checksum status"),
  etx = ProtoField.uint8("teldrv.etx", "ETX", base.HEX),
  trailing = ProtoField.bytes("teldrv.trailing", "Bytes after the frame"),
  code = ProtoField.uint8("teldrv.code", "Code", base.HEX, code_names),
  request = ProtoField.string("teldrv.request", "Request"),
  answer = ProtoField.string("teldrv.answer", "Answer to"),
  response_in = ProtoField.framenum("teldrv.response_in", "Answer in", base.NONE, frametype.RESPONSE),
  response_to = ProtoField.framenum("teldrv.response_to", "Answer to the request in", base.NONE, frametype.REQUEST),
  time = ProtoField.relative_time("teldrv.time", "Response time"),
  retry = ProtoField.framenum("teldrv.retry", "Retry of the request in", base.NONE, frametype.DUP_ACK),
  seq = ProtoField.uint8("teldrv.seq", "Sequence byte"),
  status = ProtoField.uint8("teldrv.status", "Status"),
  station = ProtoField.uint8("teldrv.station", "Station number"),
  clock = ProtoField.absolute_time("teldrv.clock", "Clock (UTC)", base.UTC),
  clock_year = ProtoField.uint16("teldrv.clock.year", "Year"),
  clock_month = ProtoField.uint16("teldrv.clock.month", "Month"),
  clock_wday = ProtoField.uint16("teldrv.clock.wday", "Day of the week (0 = Sunday)"),
  clock_day = ProtoField.uint16("teldrv.clock.day", "Day of the month"),
  clock_hour = ProtoField.uint16("teldrv.clock.hour", "Hour"),
  clock_minute = ProtoField.uint16("teldrv.clock.minute", "Minute"),
  clock_second = ProtoField.uint16("teldrv.clock.second", "Second"),
  clock_ms = ProtoField.uint16("teldrv.clock.ms", "Milliseconds"),
  write_gate = ProtoField.uint16("teldrv.write.gate", "Gate to write"),
  write_bytes = ProtoField.bytes("teldrv.write.bytes", "Value bytes"),
  write_type = ProtoField.uint8("teldrv.write.type", "Value type (preference)"),
  write_value = ProtoField.double("teldrv.write.value", "Value"),
  write_i16 = ProtoField.int16("teldrv.write.i16", "As value type 1 (signed 16-bit)"),
  write_f32 = ProtoField.float("teldrv.write.f32", "As value type 3 (single precision)"),
  write_i32 = ProtoField.int32("teldrv.write.i32", "As value type 4 (signed 32-bit)"),
  write_u32 = ProtoField.uint32("teldrv.write.u32", "As value type 5 (unsigned 32-bit)"),
  write_u16 = ProtoField.uint16("teldrv.write.u16", "As value type 0, 2, 6 (unsigned 16-bit)"),
  write_status = ProtoField.uint8("teldrv.write.status", "Write status"),
  changes = ProtoField.uint16("teldrv.changes", "Gate changes"),
  change = ProtoField.bytes("teldrv.change", "Gate change"),
  change_gate = ProtoField.uint16("teldrv.change.gate", "Gate", base.DEC, nil, 0x7FFF),
  change_flag = ProtoField.uint16("teldrv.change.flag", "Status flag", base.DEC, nil, 0x8000),
  change_kind = ProtoField.string("teldrv.change.kind", "Kind"),
  change_value = ProtoField.double("teldrv.change.value", "Value"),
  change_time = ProtoField.absolute_time("teldrv.change.time", "Time (UTC)", base.UTC),
  change_ms = ProtoField.uint16("teldrv.change.ms", "Milliseconds"),
  hist_start = ProtoField.absolute_time("teldrv.history.start", "Window start (UTC)", base.UTC),
  records = ProtoField.uint16("teldrv.records", "History records"),
  record = ProtoField.bytes("teldrv.record", "History record"),
  record_gate = ProtoField.uint16("teldrv.record.gate", "Gate"),
  record_time = ProtoField.absolute_time("teldrv.record.time", "Time (UTC)", base.UTC),
  record_ms = ProtoField.uint16("teldrv.record.ms", "Milliseconds"),
  record_status = ProtoField.uint16("teldrv.record.status", "Status word", base.HEX),
  record_value = ProtoField.double("teldrv.record.value", "Value"),
  direction = ProtoField.string("teldrv.direction", "Direction"),
  text = ProtoField.string("teldrv.text", "Text"),
  event = ProtoField.string("teldrv.event", "Line event"),
}
local field_list = {}
for _, field in pairs(f) do field_list[#field_list + 1] = field end
teldrv.fields = field_list

local ex = {
  checksum = ProtoExpert.new("teldrv.checksum.bad", "Bad checksum", expert.group.CHECKSUM, expert.severity.ERROR),
  short = ProtoExpert.new("teldrv.short", "Short frame", expert.group.MALFORMED, expert.severity.ERROR),
  broken = ProtoExpert.new("teldrv.broken", "Broken frame", expert.group.MALFORMED, expert.severity.ERROR),
  unknown = ProtoExpert.new("teldrv.unknown", "Unknown request code", expert.group.PROTOCOL, expert.severity.WARN),
  length = ProtoExpert.new("teldrv.bad_length", "Body length wrong for the code", expert.group.PROTOCOL,
                           expert.severity.WARN),
  between = ProtoExpert.new("teldrv.between", "Bytes between frames", expert.group.PROTOCOL, expert.severity.WARN),
  rejected = ProtoExpert.new("teldrv.rejected", "Request rejected", expert.group.RESPONSE_CODE, expert.severity.WARN),
  failed = ProtoExpert.new("teldrv.failed", "Status reports a failure", expert.group.RESPONSE_CODE,
                           expert.severity.WARN),
  retry = ProtoExpert.new("teldrv.retry.note", "Retry", expert.group.SEQUENCE, expert.severity.NOTE),
  unanswered = ProtoExpert.new("teldrv.unanswered", "Request without answer", expert.group.SEQUENCE,
                               expert.severity.WARN),
  clock = ProtoExpert.new("teldrv.clock.impossible", "Impossible date", expert.group.PROTOCOL, expert.severity.NOTE),
}
teldrv.experts = { ex.checksum, ex.short, ex.broken, ex.unknown, ex.length, ex.between, ex.rejected,
                   ex.failed, ex.retry, ex.unanswered, ex.clock }

teldrv.prefs.value_types = Pref.string("Value types of the station gates", "",
  "For remote writes: GATE:TYPE pairs, e.g. 0:1,5:3. A write to a gate not listed shows every reading.")

local value_types = {}
function teldrv.prefs_changed()
  value_types = {}
  for gate, vtype in string.gmatch(teldrv.prefs.value_types, "(%d+)%s*:%s*(%d+)") do
    value_types[tonumber(gate)] = tonumber(vtype)
  end
end

-- Pairing and retries are worked out on the first pass, in capture order, and
-- kept by frame number, so a later pass (or a click in the GUI) shows the same.
local state
function teldrv.init()
  state = { pending = {}, by_frame = {}, last_seq = nil, last_cont = nil, last_request = nil }
end

local field_direction = Field.new("frame.packet_flags_direction")
local field_description = Field.new("frame.interface_description")

-- "inbound"/"outbound", and who sent to whom when the interface description
-- names the sides ("outbound = central to station, inbound = ...").
local function direction()
  local d = field_direction()
  local dir = d and ({ [1] = "inbound", [2] = "outbound" })[d.value]
  if not dir then return nil end
  local desc = field_description()
  local part = desc and string.match(desc.value .. ",", dir .. " = ([^,]*),")
  if not part then return dir end
  return dir, string.match(string.gsub(part, "%s*%b()", ""), "^(.-) to (.-)%s*$")
end

-- A difference of two capture times, in whole microseconds as the capture
-- holds them (a double near 2e9 s carries them to a fraction of one).
local function nstime(seconds)
  local us = math.floor(seconds * 1e6 + 0.5)
  return NSTime.new(math.floor(us / 1e6), (us % 1000000) * 1000)
end

-- byte XOR 0x55 by table: Wireshark builds with Lua 5.2 have bit32, those with
-- 5.4 do not, and arithmetic works in both.
local XOR55 = {}
for b = 0, 255 do
  local r = 0
  for bit = 0, 7 do
    local p = 2 ^ bit
    if math.floor(b / p) % 2 ~= math.floor(0x55 / p) % 2 then r = r + p end
  end
  XOR55[b] = math.floor(r)
end

local function checksum_of(tvb, n)
  local sum = 0
  local bytes = tvb:bytes(4, 5 + n)
  for i = 0, 4 + n do sum = (sum + XOR55[bytes:get_index(i)]) % 65536 end
  return sum
end

local function days_from_civil(y, m, d)
  if m <= 2 then y = y - 1 end
  local era = math.floor(y / 400)
  local yoe = y - era * 400
  local doy = math.floor((153 * ((m + 9) % 12) + 2) / 5) + d - 1
  return era * 146097 + yoe * 365 + math.floor(yoe / 4) - math.floor(yoe / 100) + doy - 719468
end

local function days_in_month(y, m)
  if m == 2 then return (y % 4 == 0 and (y % 100 ~= 0 or y % 400 == 0)) and 29 or 28 end
  return ({ 31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31 })[m]
end

local function le16(body, at) return body(at, 2):le_uint() end

-- A status byte with its meaning; anything but 0 is a failure.
local function status_item(tree, field, range, meanings)
  local s = range:uint()
  local item = tree:add(field, range)
  item:append_text(" (" .. (meanings[s] or "host's refusal code, low byte") .. ")")
  if s ~= 0 then item:add_proto_expert_info(ex.failed, "status " .. s) end
  return s
end

-- Request bodies ------------------------------------------------------------

local function clock_request(body, tree)
  local names = { f.clock_year, f.clock_month, f.clock_wday, f.clock_day, f.clock_hour,
                  f.clock_minute, f.clock_second, f.clock_ms }
  local v = {}
  for i, field in ipairs(names) do
    v[i] = le16(body, 2 * i - 1)
    tree:add_le(field, body(2 * i - 1, 2))
  end
  local y, mo, d, h, mi, s, ms = v[1], v[2], v[4], v[5], v[6], v[7], v[8]
  local text = string.format("%04d-%02d-%02d %02d:%02d:%02d.%03d UTC", y, mo, d, h, mi, s, ms)
  if mo < 1 or mo > 12 or d < 1 or d > days_in_month(y, mo) or h > 23 or mi > 59 or s > 59 or ms > 999 then
    tree:add_proto_expert_info(ex.clock, "impossible date " .. text .. ": the station leaves its clock alone")
    return "clock " .. text .. " (impossible)"
  end
  local t = days_from_civil(y, mo, d) * 86400 + h * 3600 + mi * 60 + s
  tree:add(f.clock, body(1, 16), NSTime.new(t, ms * 1000000)):set_generated()
  return "clock " .. text
end

local function write_request(body, tree)
  local gate = le16(body, 2)
  tree:add_le(f.write_gate, body(2, 2))
  local vt = tree:add(f.write_bytes, body(4, 4))
  local vtype = value_types[gate]
  local readings = {
    [1] = { f.write_i16, body(6, 2), body(6, 2):le_int() },
    [3] = { f.write_f32, body(4, 4), body(4, 4):le_float() },
    [4] = { f.write_i32, body(4, 4), body(4, 4):le_int() },
    [5] = { f.write_u32, body(4, 4), body(4, 4):le_uint() },
    [0] = { f.write_u16, body(6, 2), body(6, 2):le_uint() },
  }
  readings[2], readings[6] = readings[0], readings[0]
  if vtype then
    vt:add(f.write_type, body(4, 4), vtype):set_generated()
    local r = readings[vtype]
    if not r then return string.format("write gate %d: value type %d, nothing written", gate, vtype) end
    vt:add(f.write_value, r[2], r[3]):set_generated()
    return string.format("write gate %d = %.10g", gate, r[3])
  end
  for _, key in ipairs({ 1, 0, 3, 4, 5 }) do vt:add_le(readings[key][1], readings[key][2]) end
  return string.format("write gate %d, bytes %s", gate, tostring(body(4, 4):bytes()))
end

local function request_body(code, body, tree)
  local n = body:len()
  if code == 0x43 then return clock_request(body, tree) end
  if code == 0x48 then
    tree:add(f.hist_start, body(1, 4), NSTime.new(body(1, 4):le_uint(), 0))
    return "history since " .. os.date("!%Y-%m-%d %H:%M:%S", body(1, 4):le_uint())
  end
  if code ~= 0x4D and code ~= 0x54 then return nil end
  tree:add(f.seq, body(1, 1))
  local text = "seq " .. body(1, 1):uint()
  if code == 0x4D and n == 8 then text = text .. ", " .. write_request(body, tree) end
  return text
end

-- Answer bodies -------------------------------------------------------------

local function change_record(rec, tree)
  local word = rec(0, 2):le_uint()
  local t = tree:add(f.change, rec)
  t:add_le(f.change_gate, rec(0, 2))
  t:add_le(f.change_flag, rec(0, 2))
  local gate, flag = word % 32768, math.floor(word / 32768)
  local secs, ms = rec(10, 4):le_uint(), rec(14, 2):le_uint()
  local what
  -- Bit 15 set marks a status change (to 1); a status change to 0 reads as value 0.
  if flag == 1 then
    t:add(f.change_kind, rec(0, 2), "status"):set_generated()
    what = "status " .. flag
  else
    t:add(f.change_kind, rec(0, 2), "value"):set_generated()
    t:add_le(f.change_value, rec(2, 8))
    what = string.format("value %.10g", rec(2, 8):le_float())
  end
  t:add(f.change_time, rec(10, 6), NSTime.new(secs, ms * 1000000))
  t:add_le(f.change_ms, rec(14, 2))
  t:set_text(string.format("Gate change: gate %d, %s, %s.%03d UTC", gate, what,
                           os.date("!%Y-%m-%d %H:%M:%S", secs), ms))
end

local function history_record(rec, tree)
  local t = tree:add(f.record, rec)
  local secs, ms = rec(2, 4):le_uint(), rec(6, 2):le_uint()
  t:add_le(f.record_gate, rec(0, 2))
  t:add(f.record_time, rec(2, 6), NSTime.new(secs, ms * 1000000))
  t:add_le(f.record_ms, rec(6, 2))
  t:add_le(f.record_status, rec(8, 2))
  t:add_le(f.record_value, rec(10, 8))
  t:set_text(string.format("History record: gate %d, %s.%03d UTC, status 0x%04x, value %.10g", rec(0, 2):le_uint(),
                           os.date("!%Y-%m-%d %H:%M:%S", secs), ms, rec(8, 2):le_uint(), rec(10, 8):le_float()))
end

-- Runs of fixed-size records after a header of `at` bytes; a remainder is malformed.
local function records(body, tree, at, size, count_field, each)
  local n = math.floor((body:len() - at) / size)
  tree:add(count_field, body(0, 1), n):set_generated()
  for i = 0, n - 1 do each(body(at + i * size, size), tree) end
  if (body:len() - at) % size ~= 0 then
    tree:add_proto_expert_info(ex.broken, string.format("body of %d bytes is not %d + %d × n", body:len(), at, size))
  end
  return n
end

local function online_answer(body, tree, request_len)
  local n = body:len()
  if n < 2 then return nil end
  tree:add(f.status, body(1, 1))
  -- The write status is there when the request had the 8-byte form; unpaired, the length tells.
  local w = 0
  if request_len == 8 or (request_len == nil and n >= 3 and (n - 2) % 16 == 1) then w = 1 end
  local text = ""
  if w == 1 then
    local s = status_item(tree, f.write_status, body(2, 1),
                          { [0] = "accepted", [128] = "nothing written: gate or REMOTE_WRITE" })
    text = "write status " .. s .. ", "
  end
  return text .. records(body, tree, 2 + w, 16, f.changes, change_record) .. " changes"
end

local function answer_body(code, body, tree, request_len)
  local n = body:len()
  if code == 0x73 and n >= 4 then
    for i = 1, 3 do tree:add(f.station, body(i, 1)) end
    return "station " .. body(1, 1):uint()
  elseif code == 0x6F and n >= 2 then
    return "status " .. status_item(tree, f.status, body(1, 1), { [0] = "started", [2] = "failed" })
  elseif code == 0x68 and n >= 2 then
    return "status " .. status_item(tree, f.status, body(1, 1), { [0] = "window open", [255] = "no memory, closed" })
  elseif code == 0x74 and n >= 2 then
    local s = status_item(tree, f.status, body(1, 1), { [0] = "read", [255] = "no window open" })
    return "status " .. s .. ", " .. records(body, tree, 2, 18, f.records, history_record) .. " records"
  elseif code == 0x6D then
    return online_answer(body, tree, request_len)
  end
  return nil
end

-- Pairing, retries ----------------------------------------------------------

-- First pass: a request waits under its tag; a continue request with the last
-- continue's sequence byte (0 right after a start) is a retry; so is a request
-- sent again before its answer came.
local function note_request(pinfo, tag, code, body)
  local s = state.by_frame[pinfo.number]
  if s then return s end
  s = {}
  local bytes = tostring(body:bytes())
  local last = state.last_request
  -- The same body again, under any tag, while the first one went unanswered.
  if last and not last.answered and last.bytes == bytes then s.retry_of = last.frame end
  if code == 0x4D or code == 0x54 then
    local seq = body:len() >= 2 and body(1, 1):uint() or nil
    if seq ~= nil and seq == state.last_seq then s.retry_of = s.retry_of or state.last_cont or 0 end
    state.last_seq, state.last_cont = seq, pinfo.number
  elseif code == 0x4F or code == 0x48 then
    state.last_seq, state.last_cont = 0, nil
  elseif code == 0x58 then
    state.last_seq, state.last_cont = nil, nil
  end
  local req = { frame = pinfo.number, ts = pinfo.abs_ts, code = code, len = body:len(), tag = tag, bytes = bytes }
  state.pending[tag], state.last_request, state.by_frame[pinfo.number] = req, req, s
  return s
end

local function note_answer(pinfo, tag)
  local s = state.by_frame[pinfo.number]
  if s then return s end
  s = {}
  local req = state.pending[tag]
  if req then
    state.pending[tag], req.answered = nil, true
    s.request = req
    local rs = state.by_frame[req.frame]
    if rs then rs.answer_in = pinfo.number end
  end
  state.by_frame[pinfo.number] = s
  return s
end

-- Frames --------------------------------------------------------------------

local function dissect_request(body, pinfo, tree, tag)
  local code = body(0, 1):uint()
  local r = REQUESTS[code]
  tree:add(f.code, body(0, 1))
  local s = note_request(pinfo, tag, code, body)
  if s.answer_in then
    tree:add(f.response_in, body(0, 1), s.answer_in):set_generated()
  elseif pinfo.visited then
    -- Known only once the whole file has been read (Wireshark, tshark -2).
    tree:add_proto_expert_info(ex.unanswered, "no answer in this capture")
  end
  if s.retry_of then
    local item = tree:add(f.retry, body(0, 1), s.retry_of):set_generated()
    item:add_proto_expert_info(ex.retry, s.retry_of > 0 and ("retry of frame " .. s.retry_of)
                               or "sequence byte 0 right after a start: answered as a retry")
  end
  if not r then
    tree:add_proto_expert_info(ex.unknown, string.format("unknown request code 0x%02X: the station answers @", code))
    return string.format("unknown request 0x%02X", code)
  end
  tree:add(f.request, body(0, 1), r.name):set_generated()
  local text = r.name
  if not r.len[body:len()] then
    tree:add_proto_expert_info(ex.length, string.format("%s with %d bytes: the station answers @", r.name, body:len()))
    return text .. " (wrong length)"
  end
  local detail = request_body(code, body, tree)
  if s.retry_of then text = text .. " [retry]" end
  return detail and (text .. ", " .. detail) or text
end

local function dissect_answer(body, pinfo, tree, tag)
  local code = body(0, 1):uint()
  tree:add(f.code, body(0, 1))
  local s = note_answer(pinfo, tag)
  local req = s.request
  if req then
    tree:add(f.response_to, body(0, 1), req.frame):set_generated()
    tree:add(f.time, body(0, 1), nstime(pinfo.abs_ts - req.ts)):set_generated()
  end
  if code == REJECTED then
    local what = "a request"
    if req then what = REQUESTS[req.code] and REQUESTS[req.code].name or string.format("code 0x%02X", req.code) end
    tree:add(f.answer, body(0, 1), "rejected"):set_generated()
    tree:add_proto_expert_info(ex.rejected, what .. " rejected (@): wrong length or unknown code")
    return "rejected (@)"
  end
  local r = REQUESTS[code - 0x20]
  if not r then
    tree:add_proto_expert_info(ex.unknown, string.format("unknown answer code 0x%02X", code))
    return string.format("unknown answer 0x%02X", code)
  end
  tree:add(f.answer, body(0, 1), r.name):set_generated()
  local detail = answer_body(code, body, tree, req and req.len)
  local text = "answer to " .. r.name
  if req then text = text .. string.format(" (%.1f ms)", (pinfo.abs_ts - req.ts) * 1000) end
  return detail and (text .. ", " .. detail) or text
end

-- Without FEC or FER, the first body byte tells: requests are upper case.
local function is_request(magic, body)
  if magic == "FEC" then return true end
  if magic == "FER" then return false end
  local c = body:len() > 0 and body(0, 1):uint() or 0
  return c >= 0x41 and c <= 0x5A
end

-- As much of the header as the packet holds; the tag and length are nil when cut off.
local function header(tvb, tree)
  local len = tvb:len()
  tree:add(f.stx, tvb(0, 1))
  local magic, tag, n = len >= 4 and tvb(1, 3):string() or "", nil, nil
  if len >= 4 then tree:add(f.magic, tvb(1, 3)) end
  if len >= 6 then tree:add(f.tag, tvb(4, 2)); tag = tvb(4, 2):uint() end
  if len >= 8 then tree:add(f.length, tvb(6, 2)); n = tvb(6, 2):uint() end
  if len >= 9 then tree:add(f.dle, tvb(8, 1)) end
  if (len >= 4 and magic ~= "FEC" and magic ~= "FER") or (len >= 9 and tvb(8, 1):uint() ~= 0x10) then
    tree:add_proto_expert_info(ex.broken, "broken header: not STX, FEC or FER, DLE")
  end
  return magic, tag, n
end

-- The footer: DLE, checksum (verified), ETX; bytes past the ETX are flagged.
local function footer(tvb, tree, n)
  local at = 9 + n
  tree:add(f.dle, tvb(at, 1))
  local item = tree:add(f.checksum, tvb(at + 1, 2))
  local want, got = checksum_of(tvb, n), tvb(at + 1, 2):uint()
  item:add(f.checksum_computed, tvb(at + 1, 2), want):set_generated()
  item:add(f.checksum_status, tvb(at + 1, 2), want == got and "good" or "bad"):set_generated()
  if want ~= got then
    item:add_proto_expert_info(ex.checksum, string.format("bad checksum 0x%04X, computed 0x%04X", got, want))
  end
  tree:add(f.etx, tvb(at + 3, 1))
  if tvb(at, 1):uint() ~= 0x10 or tvb(at + 3, 1):uint() ~= 0x03 then
    tree:add_proto_expert_info(ex.broken, "broken footer: not DLE ... ETX")
  end
  if tvb:len() > at + 4 then
    tree:add(f.trailing, tvb(at + 4)):add_proto_expert_info(ex.between, "bytes between frames")
  end
  return want == got
end

local function dissect_frame(tvb, pinfo, t)
  local len = tvb:len()
  t:set_text("teldrv frame")
  local magic, tag, n = header(tvb, t)
  if n ~= nil and (n == 0 or n > MAX_BODY) then
    t:add_proto_expert_info(ex.broken, "body length " .. n .. " (1 to 1280)")
    return "broken frame, body length " .. n
  end
  if n == nil or len < 13 + n then
    local whole = n and 13 + n or 9
    if n and len > 9 then t:add(f.body, tvb(9, math.min(n, len - 9))) end
    t:add_proto_expert_info(ex.short, string.format("short frame: %d of %d bytes", len, whole))
    return string.format("short frame, %d of %d bytes", len, whole)
  end
  local body = tvb(9, n):tvb()
  local bt = t:add(f.body, tvb(9, n))
  local good = footer(tvb, t, n)
  local text
  if is_request(magic, body) then
    text = dissect_request(body, pinfo, bt, tag)
  else
    text = dissect_answer(body, pinfo, bt, tag)
  end
  t:set_text(string.format("teldrv %s, tag 0x%04X: %s", magic, tag, text))
  if not good then text = text .. " [bad checksum]" end
  return string.format("%s tag %04X  %s", magic, tag, text)
end

-- Bytes outside frames -----------------------------------------------------

local MODEM_LINES = { "^AT", "^OK$", "^CONNECT", "^RING$", "^NO CARRIER$", "^BUSY$", "^ERROR$",
                      "^NO DIAL ?TONE$", "^NO ANSWER$", "^%+%+%+$", "^%d$" }

local function is_modem_text(text)
  local seen = false
  for line in string.gmatch(text, "[^\r\n]+") do
    local hit = false
    for _, pattern in ipairs(MODEM_LINES) do
      if string.match(line, pattern) then hit = true break end
    end
    if not hit then return false end
    seen = true
  end
  -- Line ends alone: the end of a modem line whose text came before a pause.
  return seen or string.match(text, "^[\r\n]+$") ~= nil
end

local function printable(text)
  return (string.gsub(text, "[^\32-\126]", function(c)
    return ({ ["\r"] = "\\r", ["\n"] = "\\n" })[c] or string.format("\\x%02X", string.byte(c))
  end))
end

local function dissect_text(tvb, t)
  local raw = tvb:raw()
  local shown = printable(raw)
  t:set_text("teldrv bytes outside frames")
  t:add(f.text, tvb(), shown)
  if is_modem_text(raw) then
    t:set_text("Modem dialogue: " .. shown)
    return "modem: " .. shown
  end
  t:add_proto_expert_info(ex.between, string.format("%d bytes between frames", tvb:len()))
  return "bytes between frames: " .. shown
end

-- Frames name their sender by magic. Other bytes went between the capturing
-- side (the sender of outbound bytes) and its line: its modem, or the far side.
local function sides(pinfo, tvb, dir, from, to)
  local src, dst
  if tvb(0, 1):uint() == 0x02 and tvb:len() >= 4 then
    local magic = tvb(1, 3):string()
    if magic == "FEC" then src, dst = "central", "station" elseif magic == "FER" then src, dst = "station", "central" end
  end
  if not src and dir then
    local me = (dir == "outbound" and from or to) or "capturing side"
    if dir == "outbound" then src, dst = me, "line" else src, dst = "line", me end
  end
  if src then pinfo.cols.src, pinfo.cols.dst = src, dst end
end

function teldrv.dissector(tvb, pinfo, tree)
  if tvb:len() == 0 then return 0 end
  pinfo.cols.protocol = "teldrv"
  local t = tree:add(teldrv, tvb())
  local dir, from, to = direction()
  if dir then t:add(f.direction, tvb(), from and string.format("%s: %s to %s", dir, from, to) or dir):set_generated() end
  sides(pinfo, tvb, dir, from, to)
  if tvb(0, 1):uint() == 0x02 then
    pinfo.cols.info = dissect_frame(tvb, pinfo, t)
  else
    pinfo.cols.info = dissect_text(tvb, t)
  end
  return tvb:len()
end

function events.dissector(tvb, pinfo, tree)
  pinfo.cols.protocol = "teldrv"
  local text = printable(tvb:raw())
  -- A call's retry bookkeeping starts afresh with the carrier.
  if state and (text == "carrier up" or text == "carrier down") then state.last_seq, state.last_cont = nil, nil end
  tree:add(teldrv, tvb(), "teldrv line event: " .. text):add(f.event, tvb(), text)
  pinfo.cols.info = "line event: " .. text
  return tvb:len()
end

local encap = DissectorTable.get("wtap_encap")
encap:add(wtap_encaps and wtap_encaps.USER0 or wtap.USER0, teldrv)
encap:add(wtap_encaps and wtap_encaps.USER1 or wtap.USER1, events)
