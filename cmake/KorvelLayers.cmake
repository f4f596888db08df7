# The plug-in's layers, ground first. Each folder is one layer; a layer's headers are
# reachable only by targets that link it, so an include against the direction of the
# layers fails to compile.
#
#   platform   interface               ground: the platform stand-ins; the published IDs
#   record                             the instance record, its helpers and constants
#   identity   link                    UID registry; companion files and MIDI link
#   component                          entry points wiring record, identity and link
#   localization   editor              beside the component; the editor reaches an
#                                      instance only through its properties
#
# Sources name headers by folder ("record/KorvelInstance.h"). A target sees a folder's
# headers through an include root that holds nothing but a link to that folder, exported
# by the folder's target to whatever links it.
# How every layer is compiled, in the main build and in the fuzz build alike.
set(CMAKE_CXX_STANDARD 20)
set(CMAKE_CXX_STANDARD_REQUIRED ON)
set(CMAKE_CXX_EXTENSIONS OFF)
set(CMAKE_POSITION_INDEPENDENT_CODE ON)
if(NOT CMAKE_BUILD_TYPE)
  set(CMAKE_BUILD_TYPE RelWithDebInfo)
endif()

set(KORVEL_LAYERS platform interface record identity link component localization editor)
set(KORVEL_PLUGIN_LIBRARIES
  korvel_platform korvel_record korvel_identity korvel_link_shared korvel_link korvel_component
  korvel_localization korvel_editor)

# korvel_include_root(TARGET SCOPE FOLDER...): lets TARGET (and, by SCOPE, what links it)
# include "FOLDER/Header.h" for each FOLDER of the source tree.
function(korvel_include_root target scope)
  foreach(folder IN LISTS ARGN)
    set(root "${CMAKE_BINARY_DIR}/include-roots/${folder}")
    if(NOT EXISTS "${root}/${folder}")
      file(MAKE_DIRECTORY "${root}")
      file(CREATE_LINK "${KORVEL_ROOT}/${folder}" "${root}/${folder}" SYMBOLIC)
    endif()
    target_include_directories(${target} ${scope} "${root}")
  endforeach()
endfunction()

# Adds every layer's folder; BINARY_PREFIX places their build folders (a project other
# than the main one builds them outside its own tree).
function(korvel_add_layers binary_prefix)
  foreach(folder IN LISTS KORVEL_LAYERS)
    add_subdirectory("${KORVEL_ROOT}/${folder}" "${binary_prefix}${folder}")
  endforeach()
endfunction()

# The libraries the layers link.
macro(korvel_find_layer_dependencies)
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(PLIST REQUIRED IMPORTED_TARGET libplist-2.0)
  pkg_check_modules(JACK REQUIRED IMPORTED_TARGET jack)
  pkg_check_modules(CAIRO REQUIRED IMPORTED_TARGET cairo)
  pkg_check_modules(PANGOCAIRO REQUIRED IMPORTED_TARGET pangocairo)
  find_package(nlohmann_json 3.10 REQUIRED)
  find_package(Threads REQUIRED)
endmacro()

# Sets OUT to the objects of every layer: what the plug-in module is made of.
function(korvel_plugin_objects out)
  set(objects)
  foreach(lib IN LISTS KORVEL_PLUGIN_LIBRARIES)
    list(APPEND objects $<TARGET_OBJECTS:${lib}>)
  endforeach()
  set(${out} ${objects} PARENT_SCOPE)
endfunction()
