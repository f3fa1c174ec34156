# Read by cpack (CPACK_PROJECT_CONFIG_FILE) before it builds the Debian
# packages. Without file and dpkg-shlibdeps CPack writes packages without
# their library dependencies, without objcopy and strip it leaves the
# binaries unstripped; either way it would still say it succeeded. Only the
# search path is looked at, as a shell would.
if(CPACK_GENERATOR STREQUAL "DEB")
  set(missing "")
  foreach(tool file dpkg-shlibdeps objcopy strip)
    unset(found CACHE)
    unset(found)
    find_program(found NAMES ${tool} PATHS ENV PATH NO_DEFAULT_PATH NO_CACHE)
    if(NOT found)
      list(APPEND missing ${tool})
    endif()
  endforeach()
  if(missing)
    list(JOIN missing " " missing)
    message(FATAL_ERROR "cpack: missing ${missing}: install the packages file, dpkg-dev and binutils "
                        "(scripts/bootstrap does)")
  endif()
endif()
