# How the command-line tool is linked, and with it the programs that stand
# in for it in the benchmarks.
#
# Scripts start qvr once a file, so its start-up counts. Linked as one
# static position-independent program (the C and C++ runtimes and libfuse3
# inside), nothing is mapped, relocated or bound by the dynamic loader
# before main, and the program still loads at a random address. On the
# project's machine that took a third off extracting one entry.
#
# Packagers who would rather have qvr use the system's shared libraries,
# and so take their security updates without a rebuild, turn QVR_STATIC_TOOL
# off: the C++ runtime alone is then linked in, and libfuse3 is loaded
# when a mount starts. Sanitizer and fuzzing builds keep the shared
# runtimes their own runtime expects, and Windows has neither choice.
include(CheckCXXSourceCompiles)

set(_qvr_static_default OFF)
if(CMAKE_SYSTEM_NAME STREQUAL "Linux" AND NOT CMAKE_CXX_FLAGS MATCHES "sanitize")
    # Debian's libc6-dev has the static C library; libfuse3-dev has
    # libfuse3.a, built position-independent.
    set(CMAKE_REQUIRED_LINK_OPTIONS -static-pie)
    check_cxx_source_compiles("#include <thread>\nint main() { std::thread([] {}).join(); }"
                              QVR_CAN_LINK_STATIC_PIE)
    unset(CMAKE_REQUIRED_LINK_OPTIONS)
    set(_qvr_static_default ${QVR_CAN_LINK_STATIC_PIE})
endif()
option(QVR_STATIC_TOOL "Link qvr as one static position-independent program (Linux)" ${_qvr_static_default})

# libfuse3 as a static library, for a static qvr to link: empty when there
# is none or the tool is not static.
set(QVR_FUSE3_ARCHIVE "")
if(QVR_STATIC_TOOL)
    find_library(QVR_FUSE3_STATIC_LIBRARY NAMES libfuse3.a)
    if(QVR_FUSE3_STATIC_LIBRARY)
        set(QVR_FUSE3_ARCHIVE ${QVR_FUSE3_STATIC_LIBRARY})
    endif()
endif()

# Links TARGET as qvr is linked.
function(qvr_link_as_the_tool target)
    if(QVR_STATIC_TOOL)
        target_link_options(${target} PRIVATE -static-pie)
    elseif(NOT WIN32 AND NOT CMAKE_CXX_FLAGS MATCHES "sanitize")
        target_link_options(${target} PRIVATE -static-libstdc++ -static-libgcc)
    endif()
endfunction()
