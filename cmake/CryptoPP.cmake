# Crypto++: Debian's libcrypto++-dev natively; for mingw the static library
# that tools/setup.sh builds into its cache (CORVANEL_CACHE/cryptopp-<triplet>).
if(WIN32)
  if(NOT DEFINED CORVANEL_CACHE)
    if(DEFINED ENV{CORVANEL_CACHE})
      set(CORVANEL_CACHE "$ENV{CORVANEL_CACHE}")
    else()
      set(CORVANEL_CACHE "/var/cache/corvanel")
    endif()
  endif()
  set(CRYPTOPP_ROOT "${CORVANEL_CACHE}/cryptopp-${CORVANEL_TRIPLET}"
      CACHE PATH "Crypto++ built for this target")
  set(CRYPTOPP_LIBRARY "${CRYPTOPP_ROOT}/lib/libcryptopp.a")
  set(CRYPTOPP_INCLUDE_DIR "${CRYPTOPP_ROOT}/include")
  if(NOT EXISTS "${CRYPTOPP_LIBRARY}" OR NOT EXISTS "${CRYPTOPP_INCLUDE_DIR}/cryptopp/cryptlib.h")
    message(FATAL_ERROR "Crypto++ for ${CORVANEL_TRIPLET} not found under ${CRYPTOPP_ROOT}: run tools/setup.sh")
  endif()
  add_library(cryptopp::cryptopp STATIC IMPORTED)
  set_target_properties(cryptopp::cryptopp PROPERTIES
    IMPORTED_LOCATION "${CRYPTOPP_LIBRARY}"
    INTERFACE_INCLUDE_DIRECTORIES "${CRYPTOPP_INCLUDE_DIR}")
else()
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(CRYPTOPP REQUIRED IMPORTED_TARGET libcrypto++)
  # The static archive where the package has one: a short command (a scan,
  # a listing) then spends no time relocating the shared library at start.
  find_library(CRYPTOPP_STATIC_LIBRARY NAMES libcryptopp.a libcrypto++.a HINTS ${CRYPTOPP_LIBRARY_DIRS})
  if(CRYPTOPP_STATIC_LIBRARY AND NOT CORVANEL_SANITIZE)
    add_library(cryptopp::cryptopp STATIC IMPORTED)
    set_target_properties(cryptopp::cryptopp PROPERTIES
      IMPORTED_LOCATION "${CRYPTOPP_STATIC_LIBRARY}"
      INTERFACE_INCLUDE_DIRECTORIES "${CRYPTOPP_INCLUDE_DIRS}")
  else()
    add_library(cryptopp::cryptopp ALIAS PkgConfig::CRYPTOPP)
  endif()
endif()
