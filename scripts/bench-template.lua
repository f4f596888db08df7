-- Driven by bench-template.sh through ardour7-lua. Arguments: MODE ("create" or "load"),
-- the session directory, the session name, and for "create" the number of MIDI tracks
-- and the URI of the LV2 plug-in each gets ("" for none).
-- Prints "start" at once, "created" or "ready" when done; a loaded session stays open
-- until a line arrives on standard input.
local mode, dir, name = arg[1], arg[2], arg[3]
local tracks, pluginURI = tonumber(arg[4] or "0"), arg[5] or ""
io.stdout:setvbuf("line")
print("start")
AudioEngine:set_backend("JACK", "korvel-bench", "")

if mode == "create" then
  assert(create_session(dir, name, 48000), "cannot create the session")
  local midi1 = ARDOUR.ChanCount(ARDOUR.DataType("midi"), 1)
  local made = Session:new_midi_track(midi1, midi1, false, ARDOUR.PluginInfo(), nil, nil, tracks, "Track",
    ARDOUR.PresentationInfo.max_order, ARDOUR.TrackMode.Normal, true)
  if pluginURI ~= "" then
    for track in made:iter() do
      local plugin = ARDOUR.LuaAPI.new_plugin(Session, pluginURI, ARDOUR.PluginType.LV2, "")
      assert(not plugin:isnil(), pluginURI .. " not found (LV2_PATH?)")
      track:add_processor_by_index(plugin, 0, nil, true)
    end
  end
  Session:save_state("", false, false, false, false, false)
  print("created " .. made:size())
else
  assert(load_session(dir, name), "cannot load the session")
  print("ready " .. Session:get_routes():size())
  io.read("*l")
end
close_session()
print("closed")
