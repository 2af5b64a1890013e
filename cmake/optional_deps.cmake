# Libraries of the services above the voice core, each given to the layer
# that uses it. `make deps` installs them all.
find_package(CURL REQUIRED)
target_link_libraries(parleon_announce PUBLIC CURL::libcurl)


# Standalone Asio (TCP query), header-only.
find_path(ASIO_INCLUDE_DIR asio.hpp REQUIRED)
target_include_directories(parleon_admin PUBLIC ${ASIO_INCLUDE_DIR})
target_compile_definitions(parleon_admin PUBLIC ASIO_STANDALONE ASIO_NO_DEPRECATED)
# The thread sanitizer does not model fences (GCC refuses them there): Asio's
# handler hand-offs go through its locked queues, which it does see.
if(PARLEON_SANITIZE STREQUAL "thread")
  target_compile_definitions(parleon_admin PUBLIC ASIO_DISABLE_FENCED_BLOCK)
endif()

# libsystemd: sd_notify for the Type=notify unit.
find_package(PkgConfig REQUIRED)
pkg_check_modules(SYSTEMD REQUIRED IMPORTED_TARGET libsystemd)
target_link_libraries(parleon_app PUBLIC PkgConfig::SYSTEMD)

# libsodium: Argon2id hashes of the account passwords.
pkg_check_modules(SODIUM REQUIRED IMPORTED_TARGET libsodium)
target_link_libraries(parleon_database PUBLIC PkgConfig::SODIUM)

# cpp-httplib (web interface; loopback receivers in tests).
pkg_check_modules(HTTPLIB REQUIRED IMPORTED_TARGET cpp-httplib)
target_link_libraries(parleon_admin PUBLIC PkgConfig::HTTPLIB)

# OpenSSL: the web port's TLS (the same library cpp-httplib is built with).
find_package(OpenSSL REQUIRED)
target_link_libraries(parleon_admin PUBLIC OpenSSL::SSL OpenSSL::Crypto)
