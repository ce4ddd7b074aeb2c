# Turns a program's --help text into its manual page, so the two never drift.
# cmake -DPROGRAM=... -DNAME=... -DSUMMARY=... -DOUTPUT=... -P help-to-man.cmake
execute_process(COMMAND "${PROGRAM}" --help OUTPUT_VARIABLE help RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${PROGRAM} --help failed")
endif()
string(REPLACE "\\" "\\e" help "${help}")
# A line that begins with a dot or a quote would be read as a request.
string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" help "${help}")
string(TOUPPER "${NAME}" upper)
file(WRITE "${OUTPUT}" ".TH ${upper} 1 \"\" \"update ${VERSION}\" \"User Commands\"
.SH NAME
${NAME} \\- ${SUMMARY}
.SH DESCRIPTION
.nf
${help}.fi
.SH SEE ALSO
.BR update (1)
")
