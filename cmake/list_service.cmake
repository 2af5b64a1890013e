# The public server list this build announces to and asks for its external
# address. No list exists for this server yet, so the defaults name a host
# under the reserved ".invalid" domain, which never resolves; operators set
# "PostUrl" in server.ini to their list, or build with their own values.
set(PARLEON_LIST_HOST "serverlist.parleon.invalid" CACHE STRING
    "Host of the public server list; its getip.php page reports the external address")
set(PARLEON_DEFAULT_POST_URL "http://${PARLEON_LIST_HOST}/announce.php" CACHE STRING
    "Address every running virtual server is announced to")
# The announcement posts there; start-up writes the default into server.ini.
foreach(layer parleon_announce parleon_app)
  target_compile_definitions(${layer} PRIVATE
    PARLEON_LIST_HOST="${PARLEON_LIST_HOST}"
    PARLEON_DEFAULT_POST_URL="${PARLEON_DEFAULT_POST_URL}")
endforeach()
