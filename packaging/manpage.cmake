# Install-time script: the manual page of one program, made by help2man from the program's own
# --help and --version, compressed the way Debian wants it (gzip -9n: no name, no time stamp).
# Run when the program is installed, that is when the package is made, so the page always
# describes the very binary in the package and ordinary builds never wait for it.
# Set by the caller: VIRTA_MAN_PROGRAM (the built program), VIRTA_MAN_SUMMARY (the line of the
# NAME section), VIRTA_MAN_OUTPUT (the page to write, without .gz).
find_program(VIRTA_HELP2MAN help2man)
find_program(VIRTA_GZIP gzip)
if(NOT VIRTA_HELP2MAN OR NOT VIRTA_GZIP)
  message(FATAL_ERROR "help2man and gzip make the manual pages of the package; "
                      "scripts/setup-deps.sh installs them")
endif()

get_filename_component(folder ${VIRTA_MAN_OUTPUT} DIRECTORY)
file(MAKE_DIRECTORY ${folder})

# No display: the page must come from what the program answers on a bare terminal, and a
# program that needed a display for --help would fail here rather than in a user's shell.
# help2man writes the page in the encoding of the program's output, which is UTF-8.
execute_process(
  COMMAND ${CMAKE_COMMAND} -E env --unset=DISPLAY --unset=WAYLAND_DISPLAY --unset=QT_QPA_PLATFORM
          ${VIRTA_HELP2MAN} --locale=C.UTF-8 --no-info --section=1 "--name=${VIRTA_MAN_SUMMARY}"
          --output=${VIRTA_MAN_OUTPUT} ${VIRTA_MAN_PROGRAM}
  RESULT_VARIABLE result
  ERROR_VARIABLE errors)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "help2man could not make the manual page of ${VIRTA_MAN_PROGRAM}: ${errors}")
endif()
execute_process(COMMAND ${VIRTA_GZIP} -9nf ${VIRTA_MAN_OUTPUT} RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "gzip failed on ${VIRTA_MAN_OUTPUT}")
endif()
