# The layer check, run by the build before anything is compiled:
#   cmake -DSOURCE_DIR=<project> -DLAYERS=<build>/layers.txt -P check_layers.cmake
# LAYERS holds "folder=allowed,folders" items, one per library (made by
# CMakeLists.txt from the libraries' links). Every #include "..." of a
# layer's sources that names a file of another layer's folder must name one
# the layer may use; so must any of tools/, tests/ or bench/, which no
# layer may use. A wrong include stops the build with the file, the
# include and what the layer may use.
cmake_minimum_required(VERSION 3.20)
file(READ "${LAYERS}" spec)
set(folders "")
foreach(item IN LISTS spec)
  string(REGEX REPLACE "=.*" "" folder "${item}")
  string(REGEX REPLACE "^[^=]*=" "" allowed "${item}")
  string(REPLACE "," ";" allowed "${allowed}")
  string(MAKE_C_IDENTIFIER "${folder}" id)
  set(allowed_${id} "${allowed}")
  list(APPEND folders "${folder}")
endforeach()

# The layer folder a project path lies in: the longest folder it starts with.
function(owner path out)
  set(best "")
  foreach(folder IN LISTS folders tools tests bench)
    string(LENGTH "${folder}" n)
    string(LENGTH "${best}" m)
    if(path MATCHES "^${folder}/" AND n GREATER m)
      set(best "${folder}")
    endif()
  endforeach()
  set(${out} "${best}" PARENT_SCOPE)
endfunction()

set(problems "")
foreach(folder IN LISTS folders)
  string(MAKE_C_IDENTIFIER "${folder}" id)
  file(GLOB sources "${SOURCE_DIR}/${folder}/*.cpp" "${SOURCE_DIR}/${folder}/*.hpp")
  foreach(source IN LISTS sources)
    file(STRINGS "${source}" includes REGEX "^#include \"")
    foreach(line IN LISTS includes)
      string(REGEX REPLACE "^#include \"([^\"]*)\".*" "\\1" included "${line}")
      owner("${included}" used)
      if(used STREQUAL "" OR used IN_LIST allowed_${id})
        continue()
      endif()
      file(RELATIVE_PATH file "${SOURCE_DIR}" "${source}")
      string(REPLACE ";" ", " may "${allowed_${id}}")
      string(APPEND problems "\n  ${file} includes \"${included}\": ${folder} may use ${may} only")
    endforeach()
  endforeach()
endforeach()
if(problems)
  message(FATAL_ERROR "includes against the library graph (see ARCHITECTURE.md):${problems}")
endif()
