# Reads the export and import tables of the built plug-in with objdump and
# checks what a host's loader relies on: the module name, exactly five
# plain names with ordinals 1 to 5 in alphabetical order, and imports from
# KERNEL32 and msvcrt alone, exactly the calls listed below.
# Usage: cmake -DOBJDUMP=... -DDLL=... -DBITS=32|64 -P check_export_table.cmake
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

# The import list, pinned: what the plug-in's own code calls, and what the
# compiler's runtime linked into it calls (the DLL start-up, thread-local
# storage and the locks of the win32 thread model, the unwinder, multibyte
# conversion). A new call shows up here first; calls that the posix thread
# library would bring (SuspendThread, GetTickCount64 and their kin) never.
set(expected_kernel32
    # the plug-in
    CloseHandle CreateFileA DeleteFileA GetCPInfo GetCurrentProcessId GetCurrentThreadId GetFileSizeEx
    GetLastError LocalAlloc LocalFree LocalLock LocalUnlock MoveFileExA ReadFile SetFilePointerEx VirtualQuery
    WriteFile
    # the runtime
    CreateSemaphoreW DeleteCriticalSection EnterCriticalSection GetModuleHandleW GetProcAddress
    InitializeCriticalSection IsDBCSLeadByteEx LeaveCriticalSection LoadLibraryW MultiByteToWideChar
    ReleaseSemaphore SetLastError Sleep TlsAlloc TlsFree TlsGetValue TlsSetValue VirtualProtect
    WaitForSingleObject WideCharToMultiByte)
set(expected_msvcrt
    _amsg_exit _close _errno _initterm _lock _read _unlock abort calloc fputc fputs free fwrite localeconv malloc
    memchr memcmp memcpy memmove memset realloc strcmp strerror strlen strncmp vfprintf wcslen)
if(BITS EQUAL 32)
    list(APPEND expected_kernel32 FreeLibrary GetModuleHandleA LoadLibraryA)
    list(APPEND expected_msvcrt __mb_cur_max _iob atoi setlocale strchr)
else()
    list(APPEND expected_kernel32 RaiseException RtlCaptureContext RtlLookupFunctionEntry RtlUnwindEx RtlVirtualUnwind)
    list(APPEND expected_msvcrt ___lc_codepage_func ___mb_cur_max_func __iob_func)
endif()

# "DLL Name: X" opens each DLL's list; each import is a line "\tVMA\t  HINT  NAME".
string(REGEX MATCH "The Import Tables.*" import_section "${dump}")
string(REPLACE "\n" ";" lines "${import_section}")
set(dlls "")
foreach(line IN LISTS lines)
    if(line MATCHES "DLL Name: (.+)$")
        string(TOLOWER "${CMAKE_MATCH_1}" dll)
        string(REGEX REPLACE "\\.dll$" "" dll "${dll}")
        list(APPEND dlls ${dll})
        set(imported_${dll} "")
    elseif(dll AND line MATCHES "^\t[0-9a-f]+\t +[0-9]+ +([A-Za-z_][A-Za-z0-9_]*)$")
        list(APPEND imported_${dll} ${CMAKE_MATCH_1})
    elseif(line MATCHES "^The Export Tables")
        break()
    endif()
endforeach()
list(SORT dlls)
if(NOT dlls STREQUAL "kernel32;msvcrt")
    string(APPEND problems "imports from '${dlls}', not from KERNEL32.dll and msvcrt.dll alone\n")
endif()
foreach(dll IN ITEMS kernel32 msvcrt)
    set(unexpected ${imported_${dll}})
    list(REMOVE_ITEM unexpected ${expected_${dll}})
    set(missing ${expected_${dll}})
    list(REMOVE_ITEM missing ${imported_${dll}})
    if(unexpected OR missing)
        string(APPEND problems "${dll} imports not pinned: '${unexpected}'; pinned but not imported: '${missing}'\n")
    endif()
endforeach()
set(imports "${dlls}")

if(problems)
    message(FATAL_ERROR "${DLL}:\n${problems}")
endif()
message(STATUS "${DLL}: AXQVR.SPI exports ${exports}; imports ${imports}")
