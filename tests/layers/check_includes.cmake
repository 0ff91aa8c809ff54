# Fails when a file of src/ includes a file of src/ that belongs to a higher
# rank, or to another library of the same rank (cmake/layers.cmake).
#   cmake -DSOURCE_DIR=<top of the sources> -P check_includes.cmake
cmake_minimum_required(VERSION 3.25)
if(NOT SOURCE_DIR)
  get_filename_component(SOURCE_DIR "${CMAKE_CURRENT_LIST_DIR}/../.." ABSOLUTE)
endif()
include(${SOURCE_DIR}/cmake/layers.cmake)
vboard_layers_read()

set(src ${SOURCE_DIR}/src)
file(GLOB_RECURSE files RELATIVE ${src} ${src}/*.h ${src}/*.cpp)
list(SORT files)

set(report "")
set(violations 0)
set(scanned 0)
foreach(file IN LISTS files)
  vboard_layer_of_file(rank lib ${file})
  if(rank STREQUAL "")
    continue()
  endif()
  math(EXPR scanned "${scanned} + 1")
  get_filename_component(dir ${file} DIRECTORY)

  # One list element a line. The characters that would split, join or quote
  # list elements are replaced first; an include line never holds them.
  file(READ ${src}/${file} text)
  string(REPLACE "\\" "/" text "${text}")
  string(REPLACE ";" "," text "${text}")
  string(REPLACE "[" "(" text "${text}")
  string(REPLACE "]" ")" text "${text}")
  string(REPLACE "\n" ";" lines "${text}")

  set(number 0)
  foreach(line IN LISTS lines)
    math(EXPR number "${number} + 1")
    if(NOT line MATCHES "^[ \t]*#[ \t]*include[ \t]*\"([^\"]+)\"")
      continue()
    endif()
    set(included ${CMAKE_MATCH_1})
    # Quoted includes are found next to the including file first, then in
    # src/ (vboard_options puts src/ on the include path).
    if(dir AND EXISTS ${src}/${dir}/${included})
      set(target_file ${dir}/${included})
    elseif(EXISTS ${src}/${included})
      set(target_file ${included})
    else()
      continue()
    endif()
    vboard_layer_of_file(included_rank included_lib ${target_file})
    if(included_rank STREQUAL "" OR included_lib STREQUAL lib)
      continue()
    endif()
    if(included_rank GREATER_EQUAL rank)
      string(APPEND report
        "src/${file}:${number}: includes ${included} (rank ${included_rank} ${included_lib})"
        " from rank ${rank} ${lib}\n")
      math(EXPR violations "${violations} + 1")
    endif()
  endforeach()
endforeach()

if(violations GREATER 0)
  message("${report}")
  message(FATAL_ERROR
    "${violations} include(s) of a higher or the same rank in ${scanned} files (cmake/layers.cmake)")
endif()
message(STATUS "layers_includes: ${scanned} files, every include of src/ is of a lower rank")
