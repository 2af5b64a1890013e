# Libraries that later services need; linked only when installed so that a
# partial machine still builds what it can. `make deps` installs them all.
find_package(CURL QUIET)
if(CURL_FOUND)
  target_link_libraries(parleon_core PUBLIC CURL::libcurl)
endif()
