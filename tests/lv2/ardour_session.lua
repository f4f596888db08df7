-- Driven by LV2HostsEndToEndTests through ardour7-lua: arg MODE ("create" or "load"),
-- the session directory and the JACK client name. Prints "ready" once the session runs,
-- then waits for a line on standard input before each next step.
local mode, dir, client = arg[1], arg[2], arg[3]
io.stdout:setvbuf("line")
AudioEngine:set_backend("JACK", client, "")

local function midi1() return ARDOUR.ChanCount(ARDOUR.DataType("midi"), 1) end
local function add_korvel_track(name, preset)
  local track = Session:new_midi_track(midi1(), midi1(), false, ARDOUR.PluginInfo(), nil, nil, 1, name,
    ARDOUR.PresentationInfo.max_order, ARDOUR.TrackMode.Normal, true):front()
  local korvel = ARDOUR.LuaAPI.new_plugin(Session, "urn:korvel:lv2", ARDOUR.PluginType.LV2, preset or "")
  assert(not korvel:isnil(), "Korvel not found")
  track:add_processor_by_index(korvel, 0, nil, true)
  -- Live input reaches the track's output (through Korvel) without recording.
  track:monitoring_control():set_value(ARDOUR.MonitorChoice.MonitorInput, PBD.GroupControlDisposition.NoGroup)
end

if mode == "create" then
  assert(create_session(dir, "korvel", 48000), "cannot create the session")
  add_korvel_track("Track 1")
  add_korvel_track("Track 2")
else
  assert(load_session(dir, "korvel"), "cannot load the session")
end
print("ready")
io.read("*l")

if mode == "create" then
  Session:save_state("", false, false, false, false, false)
else
  -- A third track from track 1's saved state, while track 1 lives.
  local first = Session:route_by_name("Track 1"):nth_plugin(0):to_plugininsert():plugin(0)
  assert(first:save_preset("Track 1 state"), "cannot save the preset")
  add_korvel_track("Track 3", "Track 1 state")
  print("third")
  io.read("*l")
end
close_session()
print("closed")
