# Reads the export and import tables of the built plug-in with objdump and
# checks what a host's loader relies on: the module name, exactly five
# plain names with ordinals 1 to 5 in alphabetical order, and imports from
# KERNEL32 and msvcrt alone.
# Usage: cmake -DOBJDUMP=... -DDLL=... -P check_export_table.cmake
execute_process(COMMAND ${OBJDUMP} -p ${DLL} OUTPUT_VARIABLE dump RESULT_VARIABLE failed)
if(failed)
    message(FATAL_ERROR "${OBJDUMP} -p ${DLL} failed")
endif()

set(problems "")

if(NOT dump MATCHES "\nName[ \t]+[0-9a-f]+ ([^\n]*)\n")
    string(APPEND problems "no export directory name\n")
elseif(NOT CMAKE_MATCH_1 STREQUAL "AXQVR.SPI")
    string(APPEND problems "module name is '${CMAKE_MATCH_1}', not AXQVR.SPI\n")
endif()

if(NOT dump MATCHES "Ordinal Base[ \t]+([0-9]+)")
    string(APPEND problems "no ordinal base\n")
endif()
set(base ${CMAKE_MATCH_1})

# The name table: "[ i] Name", where base + i is the name's ordinal.
string(REGEX MATCH "\\[Ordinal/Name Pointer\\] Table\n(([ \t]+\\[[ 0-9]+\\] [^\n]+\n)*)" table "${dump}")
string(REGEX MATCHALL "\\[[ 0-9]+\\] [^\n]+" rows "${CMAKE_MATCH_1}")
set(exports "")
foreach(row IN LISTS rows)
    string(REGEX MATCH "\\[ *([0-9]+)\\] (.+)" _ "${row}")
    math(EXPR ordinal "${base} + ${CMAKE_MATCH_1}")
    list(APPEND exports "${CMAKE_MATCH_2}=${ordinal}")
endforeach()
set(expected "GetArchiveInfo=1;GetFile=2;GetFileInfo=3;GetPluginInfo=4;IsSupported=5")
if(NOT exports STREQUAL expected)
    string(APPEND problems "exports are '${exports}', not '${expected}'\n")
endif()

if(NOT dump MATCHES "Export Address Table[ \t]+0*5\n")
    string(APPEND problems "the export address table does not hold exactly five entries\n")
endif()

string(REGEX MATCHALL "DLL Name: [^\n]+" imports "${dump}")
list(TRANSFORM imports REPLACE "DLL Name: " "")
list(TRANSFORM imports TOLOWER)
list(SORT imports)
if(NOT imports STREQUAL "kernel32.dll;msvcrt.dll")
    string(APPEND problems "imports from '${imports}', not from KERNEL32.dll and msvcrt.dll alone\n")
endif()

if(problems)
    message(FATAL_ERROR "${DLL}:\n${problems}")
endif()
message(STATUS "${DLL}: AXQVR.SPI exports ${exports}; imports ${imports}")
