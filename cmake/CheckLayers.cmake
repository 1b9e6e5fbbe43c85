cmake_minimum_required(VERSION 3.25)
# Fails when a source file includes a header of a layer above its own.
# Run as: cmake -DSRC=<repo>/src -P CheckLayers.cmake
#
# Layers, lowest first. core and support form the base together (the object
# model uses the containers and locks, the containers use the allocator), so
# they may include each other; folders on one layer (codec and scene, geometry
# and pmi, traversal and spatial) do not include each other.
#   0: core, support   1: io   2: codec, scene   3: geometry, pmi   4: traversal, spatial
#   5: exchange (a library of its own over all of them)
# The library's start-up (the order of its steps and the list of classes it
# registers) brings up every layer: the files named in COMPOSITION_ROOT may
# include anything.
set(LAYER_core 0)
set(LAYER_support 0)
set(LAYER_io 1)
set(LAYER_codec 2)
set(LAYER_scene 2)
set(LAYER_geometry 3)
set(LAYER_pmi 3)
set(LAYER_traversal 4)
set(LAYER_spatial 4)
set(LAYER_exchange 5)
set(COMPOSITION_ROOT core/VqLib.cpp core/VqClassRegistry.cpp)

if(NOT SRC)
  message(FATAL_ERROR "SRC is not set")
endif()
file(GLOB_RECURSE files RELATIVE ${SRC} ${SRC}/*.h ${SRC}/*.cpp ${SRC}/*.h.in)
# Which folder each header lives in.
foreach(f ${files})
  get_filename_component(name ${f} NAME)
  get_filename_component(dir ${f} DIRECTORY)
  set(HOME_${name} ${dir})
endforeach()

set(violations 0)
foreach(f ${files})
  if(f IN_LIST COMPOSITION_ROOT)
    continue()
  endif()
  get_filename_component(dir ${f} DIRECTORY)
  file(STRINGS ${SRC}/${f} lines REGEX "^[ \t]*#[ \t]*include[ \t]*\"")
  foreach(line ${lines})
    string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*\"([^\"]+)\".*" "\\1" inc "${line}")
    get_filename_component(incname ${inc} NAME)
    if(NOT DEFINED HOME_${incname})
      continue() # generated or third-party
    endif()
    set(to ${HOME_${incname}})
    if(to STREQUAL dir)
      continue()
    endif()
    set(a ${LAYER_${dir}})
    set(b ${LAYER_${to}})
    if(b GREATER a OR (b EQUAL a AND a GREATER 0))
      message(SEND_ERROR "${f} includes ${to}/${incname}: ${dir} may not depend on ${to}")
      math(EXPR violations "${violations} + 1")
    endif()
  endforeach()
endforeach()
if(violations GREATER 0)
  message(FATAL_ERROR "${violations} include(s) against the layering")
endif()
message(STATUS "Includes follow the layering")
