# Read by cpack (CPACK_PROJECT_CONFIG_FILE) when it builds the packages, once
# the programs are built: raises the stated lowest versions of the C library
# and the C++ runtime to what the built programs need. The symbol versions a
# program references (objdump -p) are looked up in the library package's
# symbols file, as dpkg-shlibdeps does. A build on Debian 12 needs the stated
# floors; a newer toolchain (Debian 13's) makes programs that need newer
# libraries, and their packages must say so.
cmake_policy(VERSION 3.25)
if(NOT CPACK_GENERATOR STREQUAL "DEB")
  return()
endif()
execute_process(COMMAND dpkg --print-architecture OUTPUT_VARIABLE ark_arch OUTPUT_STRIP_TRAILING_WHITESPACE)

# ark_needed_version(OUT PACKAGE NODE_PREFIX FILE...): the highest version that
# PACKAGE's symbols file gives for the version nodes named NODE_PREFIX... that
# the files reference; empty when there is none or no symbols file.
function(ark_needed_version out package prefix)
  set(needed "")
  set(symbols /var/lib/dpkg/info/${package}:${ark_arch}.symbols)
  if(NOT EXISTS ${symbols})
    set(symbols /var/lib/dpkg/info/${package}.symbols)
  endif()
  if(EXISTS ${symbols})
    file(READ ${symbols} table)
    foreach(file ${ARGN})
      if(NOT EXISTS ${file})
        continue()
      endif()
      execute_process(COMMAND objdump -p ${file} OUTPUT_VARIABLE dump)
      string(REGEX MATCHALL " ${prefix}[0-9.]+\n" nodes "${dump}")
      foreach(node ${nodes})
        string(STRIP "${node}" node)
        string(REPLACE "." "\\." pattern "${node}")
        if(table MATCHES "\n ${pattern}@${pattern} ([^ \n]+)" AND CMAKE_MATCH_1 VERSION_GREATER needed)
          set(needed ${CMAKE_MATCH_1})
        endif()
      endforeach()
    endforeach()
  endif()
  set(${out} "${needed}" PARENT_SCOPE)
endfunction()

foreach(component PLUGIN STANDINS AMANDA)
  set(depends "${CPACK_DEBIAN_${component}_PACKAGE_DEPENDS}")
  ark_needed_version(libc libc6 GLIBC_ ${CPACK_ARK_${component}_ELF_FILES})
  if(libc VERSION_GREATER CPACK_ARK_LIBC_FLOOR)
    string(REPLACE "libc6 (>= ${CPACK_ARK_LIBC_FLOOR})" "libc6 (>= ${libc})" depends "${depends}")
  endif()
  ark_needed_version(libstdcxx libstdc++6 "(GLIBCXX|CXXABI)_" ${CPACK_ARK_${component}_ELF_FILES})
  if(libstdcxx VERSION_GREATER CPACK_ARK_LIBSTDCXX_FLOOR)
    string(REPLACE "libstdc++6 (>= ${CPACK_ARK_LIBSTDCXX_FLOOR})" "libstdc++6 (>= ${libstdcxx})" depends "${depends}")
  endif()
  set(CPACK_DEBIAN_${component}_PACKAGE_DEPENDS "${depends}")
endforeach()
