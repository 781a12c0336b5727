# Fails when a program loads a GUI library at start: run as
#   cmake -DPROGRAM=FILE -P no_gui_libraries.cmake
# It reads the dynamic sections of the program and of every library it loads
# (the whole tree the loader resolves) and refuses Qt Gui/Widgets, X11, xcb,
# Wayland and GL libraries.
if(NOT EXISTS "${PROGRAM}")
  message(FATAL_ERROR "no program at '${PROGRAM}'")
endif()
get_filename_component(program_dir "${PROGRAM}" DIRECTORY)
file(GET_RUNTIME_DEPENDENCIES
  EXECUTABLES "${PROGRAM}"
  DIRECTORIES "${program_dir}"
  RESOLVED_DEPENDENCIES_VAR resolved
  UNRESOLVED_DEPENDENCIES_VAR unresolved)
if(unresolved)
  message(FATAL_ERROR "libraries the loader would not find: ${unresolved}")
endif()
set(refused "")
foreach(library ${resolved})
  get_filename_component(name "${library}" NAME)
  if(name MATCHES "^lib(Qt6(Gui|Widgets|OpenGL|XcbQpa|WaylandClient)|X11|xcb|wayland-|GL|EGL|GLX|OpenGL|fontconfig|freetype)")
    list(APPEND refused "${name}")
  endif()
endforeach()
list(LENGTH resolved count)
if(refused)
  message(FATAL_ERROR "${PROGRAM} loads GUI libraries at start: ${refused}")
endif()
message(STATUS "${PROGRAM}: ${count} libraries at start, none of them a GUI library")
