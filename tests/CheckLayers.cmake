# Refuses an #include that points up or sideways between the source layers:
# app/ over admin/ and announce/ (side by side), over server/, over
# database/, over common/. admin/, announce/ and app/ reach server/ through
# its facade and its list alone, and those two headers bring in, through
# any chain of the project's own headers, none of a server's insides (the
# server object, its packet buffer, player list and channels). client/,
# tools/, tests/, bench/ are not layers and may include anything.
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

# What the doors must not bring in, directly or through another header.
set(server_insides "common/PacketBuffer.h" "server/ClientList.h" "server/Channels.h" "server/ServerObject.h")

# The project's headers that `header` includes, as paths from SOURCE_DIR: a
# name is looked for from the top of the tree (how the sources include),
# then beside the including file.
function(project_includes header out)
  set(found "")
  get_filename_component(dir "${header}" DIRECTORY)
  file(STRINGS "${SOURCE_DIR}/${header}" lines REGEX "^[ \t]*#[ \t]*include[ \t]*[\"<]")
  foreach(line ${lines})
    string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*[\"<]([^\">]*)[\">].*$" "\\1" target "${line}")
    if(EXISTS "${SOURCE_DIR}/${target}" AND NOT IS_DIRECTORY "${SOURCE_DIR}/${target}")
      get_filename_component(path "${SOURCE_DIR}/${target}" ABSOLUTE)
    elseif(dir AND EXISTS "${SOURCE_DIR}/${dir}/${target}" AND NOT IS_DIRECTORY "${SOURCE_DIR}/${dir}/${target}")
      get_filename_component(path "${SOURCE_DIR}/${dir}/${target}" ABSOLUTE)
    else()
      continue()
    endif()
    file(RELATIVE_PATH path "${SOURCE_DIR}" "${path}")
    list(APPEND found "${path}")
  endforeach()
  set(${out} "${found}" PARENT_SCOPE)
endfunction()

# Walks each door's includes breadth first; `via_<header>` remembers who
# brought a header in, so a fault names the whole chain.
foreach(door ${server_doors})
  set(seen "${door}")
  set(queue "${door}")
  while(queue)
    list(POP_FRONT queue header)
    project_includes("${header}" included)
    foreach(next ${included})
      if(next IN_LIST seen)
        continue()
      endif()
      list(APPEND seen "${next}")
      list(APPEND queue "${next}")
      string(MAKE_C_IDENTIFIER "${next}" key)
      set(via_${key} "${header}")
      if(next IN_LIST server_insides)
        set(chain "${next}")
        set(at "${next}")
        while(NOT at STREQUAL door)
          string(MAKE_C_IDENTIFIER "${at}" key)
          set(at "${via_${key}}")
          set(chain "${at} -> ${chain}")
        endwhile()
        list(APPEND faults "${door} brings in ${next}, which the layers above must not see: ${chain}")
      endif()
    endforeach()
  endwhile()
endforeach()

if(faults)
  list(JOIN faults "\n  " text)
  message(FATAL_ERROR "includes against the layers:\n  ${text}")
endif()
message(STATUS "every include points down the layers, and the doors into server/ bring in none of its insides")
