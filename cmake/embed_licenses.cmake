# Embeds the two licence texts printed by --license:
#  - licenses/eula.txt, our own end-user licence agreement;
#  - the GNU LGPL version 3, read from the build machine (Debian: package base-files).
set(QM_LGPL_FILE "/usr/share/common-licenses/LGPL-3" CACHE FILEPATH
    "GNU LGPL version 3 text embedded into the --license output")
if(NOT EXISTS "${QM_LGPL_FILE}")
  message(FATAL_ERROR
    "The GNU LGPL version 3 text is missing: ${QM_LGPL_FILE} does not exist. "
    "Install it (Debian: base-files provides /usr/share/common-licenses/LGPL-3) "
    "or point QM_LGPL_FILE at a copy.")
endif()
set(QM_EULA_FILE "${CMAKE_CURRENT_SOURCE_DIR}/licenses/eula.txt")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${QM_LGPL_FILE}" "${QM_EULA_FILE}")

# Each text becomes an array of bytes, so no character of it needs escaping.
function(qm_bytes_of file out_var)
  file(READ "${file}" hex HEX)
  string(LENGTH "${hex}" hex_len)
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  string(REGEX REPLACE "(0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,)" "\\1\n" bytes "${bytes}")
  set(${out_var} "${bytes}" PARENT_SCOPE)
endfunction()

qm_bytes_of("${QM_EULA_FILE}" QM_EULA_BYTES)
qm_bytes_of("${QM_LGPL_FILE}" QM_LGPL_BYTES)
set(QM_LICENSE_SOURCE "${CMAKE_BINARY_DIR}/generated/license_texts.cpp")
configure_file("${CMAKE_CURRENT_SOURCE_DIR}/cmake/license_texts.cpp.in" "${QM_LICENSE_SOURCE}" @ONLY)
