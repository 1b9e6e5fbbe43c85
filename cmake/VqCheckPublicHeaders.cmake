# Fails when a public header needs something that is not installed: a quoted
# include of a private header (or of a header that is not in src/ at all),
# or an angle-bracket include of a privately linked library.
#   cmake -DVQ_SOURCE_DIR=<source> [-DVQ_GENERATED_DIR=<build>/generated] -P VqCheckPublicHeaders.cmake
# Each public header's own include lines are checked, which covers every chain:
# a path from a public header to a private one ends in one such line.
cmake_minimum_required(VERSION 3.25)
include(${CMAKE_CURRENT_LIST_DIR}/VqHeaders.cmake)

file(GLOB all_headers ${VQ_SOURCE_DIR}/src/*/*.h)
if(VQ_GENERATED_DIR)
  file(GLOB generated_headers ${VQ_GENERATED_DIR}/*.h)
  list(APPEND all_headers ${generated_headers})
endif()
vq_private_header_paths(private_paths ${VQ_SOURCE_DIR})
set(public_paths ${all_headers})
list(REMOVE_ITEM public_paths ${private_paths})

# Headers are installed flat, so a quoted include names a public header by its file name.
set(public_names)
foreach(h ${public_paths})
  get_filename_component(name ${h} NAME)
  list(APPEND public_names ${name})
endforeach()
set(private_names)
foreach(h ${private_paths})
  get_filename_component(name ${h} NAME)
  list(APPEND private_names ${name})
endforeach()

set(problems)
foreach(h ${public_paths})
  file(RELATIVE_PATH shown ${VQ_SOURCE_DIR} ${h})
  file(STRINGS ${h} lines REGEX "^[ \t]*#[ \t]*include[ \t]*[\"<]")
  foreach(line IN LISTS lines)
    if(line MATCHES "#[ \t]*include[ \t]*\"([^\"]+)\"")
      set(inc ${CMAKE_MATCH_1})
      if(inc IN_LIST private_names)
        list(APPEND problems "${shown} includes the private header ${inc}")
      elseif(NOT inc IN_LIST public_names)
        list(APPEND problems "${shown} includes ${inc}, which is not one of the installed headers")
      endif()
    elseif(line MATCHES "#[ \t]*include[ \t]*<([^>]+)>")
      if(CMAKE_MATCH_1 IN_LIST VQ_PRIVATE_SYSTEM_HEADERS)
        list(APPEND problems "${shown} includes <${CMAKE_MATCH_1}> of a privately linked library")
      endif()
    endif()
  endforeach()
endforeach()

list(LENGTH public_paths n_public)
list(LENGTH private_paths n_private)
if(problems)
  list(JOIN problems "\n  " text)
  message(FATAL_ERROR "Public headers that would not compile from an install:\n  ${text}\n"
                      "Make the included header public, or keep the includer private (cmake/VqHeaders.cmake).")
endif()
message(STATUS "${n_public} public headers include no private one (${n_private} private)")
