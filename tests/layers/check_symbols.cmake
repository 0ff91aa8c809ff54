# Fails when an archive of the table (cmake/layers.cmake) uses a symbol that
# an archive of the same or a higher rank defines. Archives not built are
# skipped; the check itself reads only what nm prints.
#   cmake -DSOURCE_DIR=<top of the sources> -DARCHIVE_DIR=<build>/lib
#         [-DNM=<nm>] [-DPREFIX=lib] [-DSUFFIX=.a] -P check_symbols.cmake
cmake_minimum_required(VERSION 3.25)
if(NOT SOURCE_DIR)
  get_filename_component(SOURCE_DIR "${CMAKE_CURRENT_LIST_DIR}/../.." ABSOLUTE)
endif()
if(NOT ARCHIVE_DIR)
  message(FATAL_ERROR "check_symbols.cmake: ARCHIVE_DIR is not set")
endif()
if(NOT NM)
  set(NM nm)
endif()
if(NOT DEFINED PREFIX)
  set(PREFIX lib)
endif()
if(NOT DEFINED SUFFIX)
  set(SUFFIX .a)
endif()
include(${SOURCE_DIR}/cmake/layers.cmake)
vboard_layers_read()

# The demangler of the same toolchain as nm (arm-linux-gnueabihf-nm comes
# with arm-linux-gnueabihf-c++filt, llvm-nm with llvm-cxxfilt).
get_filename_component(nm_dir "${NM}" DIRECTORY)
get_filename_component(nm_name "${NM}" NAME)
string(REGEX REPLACE "nm(\\.exe)?$" "" nm_prefix "${nm_name}")
find_program(CXXFILT NAMES ${nm_prefix}c++filt ${nm_prefix}cxxfilt c++filt
  HINTS "${nm_dir}" NO_CACHE)

# Per symbol the archives that define it: a variable def_<symbol> each.
# Mangled names hold none of the characters that matter to CMake lists.
set(archives "")
foreach(lib IN LISTS VBOARD_LAYER_TARGETS)
  set(file ${ARCHIVE_DIR}/${PREFIX}${lib}${SUFFIX})
  if(NOT EXISTS ${file})
    continue()
  endif()
  list(APPEND archives ${lib})
  # POSIX format: "name type [value size]" a line; the member headers
  # ("libx.a[y.o]:") are dropped.
  execute_process(COMMAND ${NM} -P -g ${file}
    OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${NM} -P -g ${file} failed (${rc}): ${err}")
  endif()
  string(REGEX REPLACE "[^\n]*[][;][^\n]*" "" out "${out}")
  string(REPLACE "\n" ";" lines "${out}")
  set(undefined_${lib} "")
  foreach(line IN LISTS lines)
    if(NOT line MATCHES "^([^ ]+) ([A-Za-z])( |$)")
      continue()
    endif()
    set(symbol ${CMAKE_MATCH_1})
    set(type ${CMAKE_MATCH_2})
    if(type MATCHES "^[TDBRGS]$")
      list(APPEND def_${symbol} ${lib})
    elseif(type STREQUAL "U")
      list(APPEND undefined_${lib} ${symbol})
    endif()
  endforeach()
  list(REMOVE_DUPLICATES undefined_${lib})
endforeach()

if(NOT archives)
  message(FATAL_ERROR "layers_symbols: no archive of cmake/layers.cmake in ${ARCHIVE_DIR}; build first")
endif()

# The rank-0 archives may use each other: the simulated platform uses the
# board backend, which it links through vboard_board (see vboard_layer()).
set(report "")
set(violations 0)
foreach(lib IN LISTS archives)
  set(rank ${VBOARD_LAYER_RANK_${lib}})
  foreach(symbol IN LISTS undefined_${lib})
    if(NOT DEFINED def_${symbol} OR lib IN_LIST def_${symbol})
      continue()
    endif()
    foreach(owner IN LISTS def_${symbol})
      set(owner_rank ${VBOARD_LAYER_RANK_${owner}})
      if(owner_rank LESS rank OR (rank EQUAL 0 AND owner_rank EQUAL 0))
        continue()
      endif()
      string(APPEND report
        "${PREFIX}${lib}${SUFFIX} (rank ${rank} ${lib}) uses  ${symbol}  "
        "of ${PREFIX}${owner}${SUFFIX} (rank ${owner_rank} ${owner})\n")
      math(EXPR violations "${violations} + 1")
    endforeach()
  endforeach()
endforeach()

list(LENGTH archives count)
if(violations EQUAL 0)
  message(STATUS "layers_symbols: ${count} archives, each uses only symbols of a lower rank")
  return()
endif()

# c++filt demangles every mangled name within the text it reads.
if(CXXFILT)
  string(RANDOM LENGTH 8 tag)
  set(scratch ${ARCHIVE_DIR}/layers_symbols_${tag}.txt)
  file(WRITE ${scratch} "${report}")
  execute_process(COMMAND ${CXXFILT} INPUT_FILE ${scratch}
    OUTPUT_VARIABLE demangled RESULT_VARIABLE rc)
  file(REMOVE ${scratch})
  if(rc EQUAL 0)
    set(report "${demangled}")
  endif()
endif()
string(REPLACE "  " " " report "${report}")
message("${report}")
message(FATAL_ERROR
  "${violations} use(s) of a symbol of a higher or the same rank in ${count} archives (cmake/layers.cmake)")
