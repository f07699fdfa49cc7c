# Fails when a source folder includes a folder above its layer.
#   cmake -DSOURCE_DIR=<repository> -P cmake/check_layers.cmake
#
# The layers, lowest first (ARCHITECTURE.md draws them). A folder may include
# its own files and those of the folders listed for it, nothing else.
set(allowed_base "")
set(allowed_platform base)
set(allowed_platform/emulated base platform)
set(allowed_platform/linux base platform)
set(allowed_platform/win32 base platform)
set(allowed_app base platform)
set(allowed_diskio base platform app)
set(allowed_drives base platform app diskio)
set(allowed_quicktest base platform app diskio drives)
set(allowed_filetest base platform app diskio drives)
set(allowed_shell base platform app diskio drives quicktest filetest)
set(front_end base platform platform/emulated platform/linux platform/win32 app diskio drives
    quicktest filetest shell)
set(allowed_win32 ${front_end})
set(allowed_cli ${front_end})

# "platform/linux/x.h" -> platform/linux; "platform/wire.h" -> platform;
# "app/state.h" -> app.
function(folder_of path out)
  if(path MATCHES "^platform/([^/]+)/")
    set(${out} "platform/${CMAKE_MATCH_1}" PARENT_SCOPE)
  elseif(path MATCHES "^([^/]+)/")
    set(${out} "${CMAKE_MATCH_1}" PARENT_SCOPE)
  else()
    set(${out} "" PARENT_SCOPE)
  endif()
endfunction()

file(GLOB_RECURSE sources RELATIVE "${SOURCE_DIR}/src" "${SOURCE_DIR}/src/*.h"
     "${SOURCE_DIR}/src/*.cpp")
set(violations "")
foreach(source ${sources})
  folder_of("${source}" folder)
  if(NOT DEFINED allowed_${folder})
    string(APPEND violations "\n  src/${source}: folder '${folder}' has no layer")
    continue()
  endif()
  file(STRINGS "${SOURCE_DIR}/src/${source}" includes REGEX "^#include \"")
  foreach(line ${includes})
    string(REGEX REPLACE "^#include \"([^\"]+)\".*" "\\1" target "${line}")
    folder_of("${target}" target_folder)
    if(target_folder STREQUAL "" OR target_folder STREQUAL folder)
      continue()
    endif()
    list(FIND allowed_${folder} "${target_folder}" found)
    if(found EQUAL -1)
      string(APPEND violations "\n  src/${source}: ${folder} includes ${target}")
    endif()
  endforeach()
endforeach()
if(violations)
  message(FATAL_ERROR "Includes against the layers (see ARCHITECTURE.md):${violations}")
endif()
