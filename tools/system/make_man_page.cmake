# Makes qvr.1 and qvr.1.gz with help2man: the synopsis and options from
# `qvr --help`, then one subsection a command from `qvr COMMAND --help`, so
# a command added to the tool is in the manual page without a word here.
#   cmake -DQVR=... -DHELP2MAN=... -DGZIP=... -DSTATIC_INCLUDE=... -DWORK=... -P make_man_page.cmake
execute_process(COMMAND ${QVR} --help OUTPUT_VARIABLE top COMMAND_ERROR_IS_FATAL ANY)

# The commands are the lines of the "Subcommands:" block: "  extract, x   ...".
string(REGEX MATCH "Subcommands:\n(([ ]+[^\n]+\n)+)" block "${top}")
if(NOT CMAKE_MATCH_1)
    message(FATAL_ERROR "qvr --help lists no Subcommands block")
endif()
string(REGEX MATCHALL "\n  [a-z]+" names "\n${CMAKE_MATCH_1}")

# Roff reads a backslash as an escape and a leading dot or quote as a request.
function(roff_text text out)
    string(REPLACE "\\" "\\e" text "${text}")
    string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" text "${text}")
    set(${out} "${text}" PARENT_SCOPE)
endfunction()

set(include "[COMMANDS]\n")
foreach(name IN LISTS names)
    string(STRIP "${name}" name)
    execute_process(COMMAND ${QVR} ${name} --help OUTPUT_VARIABLE help COMMAND_ERROR_IS_FATAL ANY)
    roff_text("${help}" help)
    # The help is wrapped to 80 columns: shown from the left margin, it fits an
    # 80-column page.
    string(APPEND include ".SS \"qvr ${name}\"\n.nf\n.in 0\n${help}.in\n.fi\n")
endforeach()
# help2man would fill the examples into one paragraph; keep their lines.
string(FIND "${top}" "Examples:\n" at)
if(at GREATER -1)
    math(EXPR at "${at} + 10")
    string(SUBSTRING "${top}" ${at} -1 examples)
    roff_text("${examples}" examples)
    string(APPEND include "[=EXAMPLES]\n.nf\n${examples}.fi\n")
endif()
file(WRITE ${WORK}/commands.h2m "${include}")

execute_process(COMMAND ${HELP2MAN} --no-info --section 1
                        --name "list, extract, create, test and change QVR archives"
                        --include ${WORK}/commands.h2m --include ${STATIC_INCLUDE}
                        --output ${WORK}/qvr.1 ${QVR}
                COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND ${GZIP} -9nc ${WORK}/qvr.1 OUTPUT_FILE ${WORK}/qvr.1.gz COMMAND_ERROR_IS_FATAL ANY)
