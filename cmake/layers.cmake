# The libraries are layered one way: a library, and every file that belongs
# to it, may use only its own library and libraries of a lower rank. Libraries
# of one rank are peers and do not use each other.
#
# This table is the one place the ranks are written down. Three checks read it:
#   - vboard_layer(<target>), called after a library's target_link_libraries,
#     fails the configure when the library links one of equal or higher rank;
#   - the test layers_includes fails on an #include of a file of src/ that
#     belongs to a higher rank, or to another library of the same rank;
#   - the test layers_symbols fails when an archive uses a symbol defined in
#     an archive of equal or higher rank.
#
# A row is "rank | libraries | paths under src/". A path is a folder (all its
# files and subfolders) or folder/stem (folder/stem.h and folder/stem.cpp); a
# stem wins over its folder. To add a library, add a row with its target and
# its paths, and call vboard_layer(<target>) after its target_link_libraries.
# Libraries not in the table (vboard_options, imported targets) are not
# checked; INTERFACE libraries such as vboard_board and vboard_platform are
# followed to the libraries they name. The one exception to the peer rule is
# rank 0: the simulated platform uses the board backend, linked through
# vboard_board.
set(VBOARD_LAYERS
  # rank | libraries                            | paths under src/
  "0     | vboard_board_sim vboard_board_target | board"
  "0     | vboard_platform_sim                  | platform"
  "1     | vboard_core                          | core"
  "2     | vboard_mavlink                       | mav/mavlink_frame mav/mavlink_msgs mav/mav_input"
  "3     | vboard_fs_wire                       | fs/fs_wire"
  "3     | vboard_track_report                  | track/track_report"
  "3     | vboard_mav2                          | cam2/mav2_message cam2/mav2_frame"
  "4     | vboard_fw_wire                       | fw/fw_wire"
  "5     | vboard_state                         | state"
  "6     | vboard_mp4                           | mp4"
  "7     | vboard_mov                           | mov"
  "7     | vboard_track                         | track"
  "8     | vboard_vps                           | vps"
  "9     | vboard_fpv                           | fpv"
  "9     | vboard_fs                            | fs"
  "10    | vboard_mav                           | mav"
  "10    | vboard_web                           | web"
  "10    | vboard_cam2                          | cam2"
  "11    | vboard_fw                            | fw"
  "12    | vboard_app                           | app"
)

# Reads the table into the caller's scope:
#   VBOARD_LAYER_TARGETS          every library of the table
#   VBOARD_LAYER_RANK_<target>    its rank
#   VBOARD_LAYER_PATHS            every path of the table
#   VBOARD_LAYER_PATH_RANK_<path> the rank of the row holding the path
#   VBOARD_LAYER_PATH_LIB_<path>  its libraries, joined with "/"
# A macro, so that the variables land in the caller's scope.
macro(vboard_layers_read)
  set(VBOARD_LAYER_TARGETS "")
  set(VBOARD_LAYER_PATHS "")
  foreach(_vl_row IN LISTS VBOARD_LAYERS)
    string(REPLACE "|" ";" _vl_fields "${_vl_row}")
    list(LENGTH _vl_fields _vl_n)
    if(NOT _vl_n EQUAL 3)
      message(FATAL_ERROR "layers.cmake: row \"${_vl_row}\" is not \"rank | libraries | paths\"")
    endif()
    list(GET _vl_fields 0 _vl_rank)
    list(GET _vl_fields 1 _vl_libs)
    list(GET _vl_fields 2 _vl_paths)
    string(STRIP "${_vl_rank}" _vl_rank)
    separate_arguments(_vl_libs UNIX_COMMAND "${_vl_libs}")
    separate_arguments(_vl_paths UNIX_COMMAND "${_vl_paths}")
    list(JOIN _vl_libs "/" _vl_name)
    foreach(_vl_lib IN LISTS _vl_libs)
      list(APPEND VBOARD_LAYER_TARGETS ${_vl_lib})
      set(VBOARD_LAYER_RANK_${_vl_lib} ${_vl_rank})
    endforeach()
    foreach(_vl_path IN LISTS _vl_paths)
      list(APPEND VBOARD_LAYER_PATHS ${_vl_path})
      set(VBOARD_LAYER_PATH_RANK_${_vl_path} ${_vl_rank})
      set(VBOARD_LAYER_PATH_LIB_${_vl_path} ${_vl_name})
    endforeach()
  endforeach()
endmacro()

# vboard_layer_of_file(<rank-var> <lib-var> <path>): the rank and library of a
# file given by its path under src/ (e.g. mav/mav_gps.h); both are empty for a
# file no row covers. Needs vboard_layers_read() in the caller's scope.
function(vboard_layer_of_file rank_var lib_var path)
  string(REGEX REPLACE "\\.(h|cpp)$" "" stem "${path}")
  set(best "")
  set(best_length -1)
  foreach(entry IN LISTS VBOARD_LAYER_PATHS)
    if(entry STREQUAL stem)
      set(best ${entry})
      break()
    endif()
    string(FIND "${path}" "${entry}/" at)
    string(LENGTH "${entry}" length)
    if(at EQUAL 0 AND length GREATER best_length)
      set(best ${entry})
      set(best_length ${length})
    endif()
  endforeach()
  if(best STREQUAL "")
    set(${rank_var} "" PARENT_SCOPE)
    set(${lib_var} "" PARENT_SCOPE)
  else()
    set(${rank_var} ${VBOARD_LAYER_PATH_RANK_${best}} PARENT_SCOPE)
    set(${lib_var} ${VBOARD_LAYER_PATH_LIB_${best}} PARENT_SCOPE)
  endif()
endfunction()

# vboard_layer(<target>): checks, at the end of the configure, that <target>
# links no library of the table of its own rank or higher. The check waits
# for the end because libraries may still be linked after this call.
function(vboard_layer target)
  vboard_layers_read()
  if(NOT target IN_LIST VBOARD_LAYER_TARGETS)
    message(FATAL_ERROR "vboard_layer(${target}): ${target} has no rank in cmake/layers.cmake")
  endif()
  if(NOT TARGET ${target})
    message(FATAL_ERROR "vboard_layer(${target}): no such target")
  endif()
  set_property(GLOBAL APPEND PROPERTY VBOARD_LAYER_CHECKED ${target})
  get_property(deferred GLOBAL PROPERTY VBOARD_LAYER_DEFERRED)
  if(NOT deferred)
    set_property(GLOBAL PROPERTY VBOARD_LAYER_DEFERRED ON)
    cmake_language(DEFER DIRECTORY ${CMAKE_SOURCE_DIR} CALL _vboard_layers_check_links)
  endif()
endfunction()

# _vboard_layer_names(<out> <item>...): the targets the link items name.
# Links made from another directory are marked with ::@(...) items, and the
# private links of a static library appear as $<LINK_ONLY:...>.
function(_vboard_layer_names out)
  set(names "")
  foreach(item IN LISTS ARGN)
    if(item MATCHES "^::@")
      continue()
    endif()
    string(REGEX REPLACE "\\$<[A-Za-z_]+:|[>,]" ";" pieces "${item}")
    foreach(name IN LISTS pieces)
      if(name STREQUAL "" OR NOT TARGET ${name})
        continue()
      endif()
      get_target_property(aliased ${name} ALIASED_TARGET)
      if(aliased)
        set(name ${aliased})
      endif()
      list(APPEND names ${name})
    endforeach()
  endforeach()
  set(${out} ${names} PARENT_SCOPE)
endfunction()

# _vboard_layer_links(<direct-var> <aliased-var> <target>): the libraries of
# the table that <target> links itself, and those it reaches through the
# INTERFACE libraries outside the table (vboard_board names vboard_board_sim
# or vboard_board_target); _vboard_layer_via_<library> names the INTERFACE
# library each of the latter was reached through.
function(_vboard_layer_links direct_var aliased_var target)
  get_target_property(link ${target} LINK_LIBRARIES)
  get_target_property(interface ${target} INTERFACE_LINK_LIBRARIES)
  set(direct "")
  set(aliased "")
  set(queue "")
  set(visited ${target})
  set(via_alias OFF)
  _vboard_layer_names(names ${link} ${interface})
  while(ON)
    foreach(name IN LISTS names)
      get_target_property(imported ${name} IMPORTED)
      get_target_property(type ${name} TYPE)
      if(DEFINED VBOARD_LAYER_RANK_${name})
        if(via_alias)
          list(APPEND aliased ${name})
          set(_vboard_layer_via_${name} ${via_alias} PARENT_SCOPE)
        else()
          list(APPEND direct ${name})
        endif()
      elseif(type STREQUAL "INTERFACE_LIBRARY" AND NOT imported AND NOT name IN_LIST visited)
        list(APPEND visited ${name})
        list(APPEND queue ${name})
      endif()
    endforeach()
    if(NOT queue)
      break()
    endif()
    list(POP_FRONT queue next)
    get_target_property(interface ${next} INTERFACE_LINK_LIBRARIES)
    _vboard_layer_names(names ${interface})
    set(via_alias ${next})
  endwhile()
  list(REMOVE_DUPLICATES direct)
  list(REMOVE_DUPLICATES aliased)
  set(${direct_var} ${direct} PARENT_SCOPE)
  set(${aliased_var} ${aliased} PARENT_SCOPE)
endfunction()

# The check of every library vboard_layer() was called for. A rank-0 library
# may reach another rank-0 library through vboard_board or vboard_platform:
# the simulated platform uses the board chosen by VBOARD_BOARD.
function(_vboard_layers_check_links)
  vboard_layers_read()
  get_property(targets GLOBAL PROPERTY VBOARD_LAYER_CHECKED)
  list(REMOVE_DUPLICATES targets)
  set(errors "")
  foreach(target IN LISTS targets)
    set(rank ${VBOARD_LAYER_RANK_${target}})
    _vboard_layer_links(direct aliased ${target})
    foreach(link IN LISTS direct aliased)
      set(link_rank ${VBOARD_LAYER_RANK_${link}})
      if(link STREQUAL target OR link_rank LESS rank)
        continue()
      endif()
      if(rank EQUAL 0 AND link_rank EQUAL 0 AND NOT link IN_LIST direct)
        continue()
      endif()
      set(through "")
      if(NOT link IN_LIST direct)
        set(through " through ${_vboard_layer_via_${link}}")
      endif()
      string(APPEND errors
        "\n  ${target} (rank ${rank}) links ${link} (rank ${link_rank})${through}")
    endforeach()
  endforeach()
  if(errors)
    message(FATAL_ERROR
      "A library may link only libraries of a lower rank (cmake/layers.cmake):${errors}")
  endif()
endfunction()
