# Refuses an #include that points up or sideways between the source layers:
# app/ over admin/ and announce/ (side by side), over server/, over
# database/, over common/. admin/, announce/ and app/ reach server/ through
# its facade and its list alone. client/, tools/, tests/, bench/ are not
# layers and may include anything.
#   cmake -DSOURCE_DIR=<repository> -P CheckLayers.cmake
cmake_minimum_required(VERSION 3.20)
if(NOT SOURCE_DIR)
  message(FATAL_ERROR "SOURCE_DIR is not set")
endif()

set(rank_common 0)
set(rank_database 1)
set(rank_server 2)
set(rank_admin 3)
set(rank_announce 3)
set(rank_app 4)
set(layers common database server admin announce app)
# The only server/ headers the layers above it may include.
set(server_doors "server/ServerAccess.h" "server/ServerList.h")

set(faults "")
foreach(from ${layers})
  file(GLOB_RECURSE sources "${SOURCE_DIR}/${from}/*.h" "${SOURCE_DIR}/${from}/*.cpp")
  foreach(source ${sources})
    file(STRINGS "${source}" lines REGEX "^[ \t]*#[ \t]*include[ \t]*[\"<]")
    file(RELATIVE_PATH shown "${SOURCE_DIR}" "${source}")
    foreach(line ${lines})
      string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*[\"<]([^\">]*)[\">].*$" "\\1" target "${line}")
      # "../server/X.h" names the same header as "server/X.h".
      string(REGEX REPLACE "^(\\.\\./)+" "" target "${target}")
      string(REGEX MATCH "^[^/]+" to "${target}")
      if(NOT to IN_LIST layers OR to STREQUAL from)
        continue()
      endif()
      if(rank_${to} GREATER rank_${from})
        list(APPEND faults "${shown}: ${target} is a layer above")
      elseif(rank_${to} EQUAL rank_${from})
        list(APPEND faults "${shown}: ${target} is a layer beside it")
      elseif(to STREQUAL "server" AND rank_${from} GREATER 2 AND NOT target IN_LIST server_doors)
        list(APPEND faults "${shown}: ${target} is inside server/ (use server/ServerAccess.h or server/ServerList.h)")
      endif()
    endforeach()
  endforeach()
endforeach()

if(faults)
  list(JOIN faults "\n  " text)
  message(FATAL_ERROR "includes against the layers:\n  ${text}")
endif()
message(STATUS "every include points down the layers")
