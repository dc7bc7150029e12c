# Install-time script: the package's own changelog, made when the package is made, so that its
# version and date are those of the package (SOURCE_DATE_EPOCH fixes the date for a
# reproducible build). What changed is told in CHANGELOG.md, installed beside it; Debian's
# tools want this file.
# Set by the caller: VIRTA_CHANGELOG_OUTPUT (without .gz), VIRTA_PACKAGE, VIRTA_VERSION,
# VIRTA_MAINTAINER.
find_program(VIRTA_GZIP gzip)
if(NOT VIRTA_GZIP)
  message(FATAL_ERROR "gzip compresses the package's changelog; it is missing")
endif()
string(TIMESTAMP date "%a, %d %b %Y %H:%M:%S +0000" UTC)
file(WRITE ${VIRTA_CHANGELOG_OUTPUT}
     "${VIRTA_PACKAGE} (${VIRTA_VERSION}) unstable; urgency=medium\n"
     "\n"
     "  * Release ${VIRTA_VERSION}. The changes are listed in CHANGELOG.md beside\n"
     "    this file.\n"
     "\n"
     " -- ${VIRTA_MAINTAINER}  ${date}\n")
execute_process(COMMAND ${VIRTA_GZIP} -9nf ${VIRTA_CHANGELOG_OUTPUT} RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "gzip failed on ${VIRTA_CHANGELOG_OUTPUT}")
endif()
