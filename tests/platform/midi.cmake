# The MIDI services on JACK. JACK2 keeps port metadata in one database per user, shared
# by every server, so tests that publish or expect unique IDs hold "jack-metadata".
korvel_add_test(midi_services_test
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/MIDIServicesTest.cpp
  LOCKS jack-metadata)
