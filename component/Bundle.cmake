# Everything the plug-in is made of, as one static library for the test binaries and as
# the shared object inside the bundle.
korvel_plugin_objects(_korvel_objects)

add_library(korvel_core STATIC ${_korvel_objects})
target_link_libraries(korvel_core PUBLIC ${KORVEL_PLUGIN_LIBRARIES})

add_library(Korvel MODULE ${_korvel_objects})
target_link_libraries(Korvel PRIVATE ${KORVEL_PLUGIN_LIBRARIES})
set_target_properties(Korvel PROPERTIES
  PREFIX ""
  OUTPUT_NAME "Korvel"
  LIBRARY_OUTPUT_DIRECTORY "${KORVEL_BUNDLE_DIR}/Contents/x86_64-linux")
# Only the plain C entry points a host looks up leave the shared object; template
# instances of the standard library would otherwise be exported as weak symbols.
target_link_options(Korvel PRIVATE -Wl,--no-undefined -Wl,--exclude-libs,ALL
  -Wl,--version-script=${CMAKE_SOURCE_DIR}/component/Korvel.exports)
set_target_properties(Korvel PROPERTIES LINK_DEPENDS ${CMAKE_SOURCE_DIR}/component/Korvel.exports)

configure_file(${CMAKE_SOURCE_DIR}/component/Info.plist.in
  "${KORVEL_BUNDLE_DIR}/Contents/Info.plist" @ONLY)
file(MAKE_DIRECTORY "${KORVEL_BUNDLE_DIR}/Contents/Resources")
