# Writes a man page from a program's own --help text, so the page never disagrees with the
# program. Run as: cmake -DPROGRAM=path -DNAME=name -DSUMMARY=text -DVERSION=x.y.z -DPACKAGE=package
#   -DOUTPUT=file.1.gz -P man_page.cmake
execute_process(COMMAND ${PROGRAM} --help
  OUTPUT_VARIABLE help ERROR_VARIABLE help_errors RESULT_VARIABLE status)
if(NOT status EQUAL 0 OR help STREQUAL "")
  message(FATAL_ERROR "${NAME} --help failed (${status}): ${help_errors}")
endif()
# The usage line names the program as it was started (a build path); the page names it.
string(REPLACE "${PROGRAM}" "${NAME}" help "${help}")
# roff: a backslash starts an escape and a line starting with . or ' is a request.
string(REPLACE "\\" "\\e" help "${help}")
string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" help "${help}")
string(TOUPPER "${NAME}" title)
file(WRITE ${OUTPUT}.tmp
  ".TH ${title} 1 \"\" \"Sonavert ${VERSION}\" \"User Commands\"\n"
  ".SH NAME\n${NAME} \\- ${SUMMARY}\n"
  ".SH DESCRIPTION\n.nf\n${help}.fi\n"
  ".SH SEE ALSO\nThe README in share/doc/${PACKAGE} of the installation.\n")
file(ARCHIVE_CREATE OUTPUT ${OUTPUT} PATHS ${OUTPUT}.tmp FORMAT raw COMPRESSION GZip)
file(REMOVE ${OUTPUT}.tmp)
