# The tool's third-party libraries, as three targets that the rest of the
# build links to whatever the platform:
#
#   qvr::cli11  CLI11 (header-only)
#   qvr::fmt    fmt, header-only
#   qvr::json   nlohmann-json (header-only)
#
# Natively they are Debian's own CMake packages. The cross compilers
# (mingw-w64, emscripten) must not see all of /usr/include, whose headers are
# the Linux system's, so there the three header folders alone are linked into
# a private include folder.
if(CMAKE_CROSSCOMPILING)
    set(_qvr_third_party ${CMAKE_BINARY_DIR}/third_party/include)
    file(MAKE_DIRECTORY ${_qvr_third_party})
    foreach(dir CLI fmt nlohmann)
        if(NOT EXISTS /usr/include/${dir})
            message(FATAL_ERROR "/usr/include/${dir} is missing: run scripts/setup "
                                "(libcli11-dev, libfmt-dev and nlohmann-json3-dev)")
        endif()
        file(CREATE_LINK /usr/include/${dir} ${_qvr_third_party}/${dir} SYMBOLIC)
    endforeach()
    foreach(name cli11 fmt json)
        add_library(qvr::${name} INTERFACE IMPORTED)
        target_include_directories(qvr::${name} SYSTEM INTERFACE ${_qvr_third_party})
    endforeach()
    # No libfmt is packaged for these compilers: its implementation comes
    # with the headers.
    target_compile_definitions(qvr::fmt INTERFACE FMT_HEADER_ONLY)
else()
    find_package(CLI11 CONFIG REQUIRED)
    find_package(fmt CONFIG REQUIRED)
    find_package(nlohmann_json CONFIG REQUIRED)
    add_library(qvr::cli11 INTERFACE IMPORTED)
    target_link_libraries(qvr::cli11 INTERFACE CLI11::CLI11)
    add_library(qvr::fmt INTERFACE IMPORTED)
    # Header-only here too: Debian's libfmt is shared only, and a shared
    # libfmt brings the shared C++ runtime with it, which costs qvr about
    # 1.6 ms of every start (the loader maps and binds two more libraries)
    # where scripts start it once a file. The few files that format pay a
    # little more compile time instead.
    target_link_libraries(qvr::fmt INTERFACE fmt::fmt-header-only)
    add_library(qvr::json INTERFACE IMPORTED)
    target_link_libraries(qvr::json INTERFACE nlohmann_json::nlohmann_json)
endif()
