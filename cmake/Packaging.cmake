# Installation and packages.
#
#   cmake --install BUILD [--prefix DIR]   qvr, the archive headers and library, and the
#                                          CMake package (find_package(qvr) -> qvr::archive)
#   cpack --config BUILD/CPackConfig.cmake Linux: a .deb and a .tar.gz of the tool, its
#                                          manual page and completion, the library with its
#                                          headers and CMake package, the viewer and README;
#                                          Windows (win32 build): a zip of AXQVR.SPI, the
#                                          64-bit plug-in from the win64 build (x64/), qvr.exe,
#                                          the viewer and README
include(CMakePackageConfigHelpers)

set(QVR_CMAKE_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/qvr)
install(EXPORT qvrTargets NAMESPACE qvr:: DESTINATION ${QVR_CMAKE_PACKAGE_DIR} COMPONENT dev)
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/qvrConfig.cmake.in
                              ${CMAKE_CURRENT_BINARY_DIR}/qvrConfig.cmake
                              INSTALL_DESTINATION ${QVR_CMAKE_PACKAGE_DIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/qvrConfigVersion.cmake
                                 COMPATIBILITY SameMinorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/qvrConfig.cmake ${CMAKE_CURRENT_BINARY_DIR}/qvrConfigVersion.cmake
        DESTINATION ${QVR_CMAKE_PACKAGE_DIR} COMPONENT dev)

# qvr_install_output(VARIABLE WHAT DESTINATION COMPONENT): installs the file
# that VARIABLE names, which another preset makes; the package promises it,
# so installing or packaging without it fails and says what to build.
function(qvr_install_output variable what destination component)
    set(file "${${variable}}")
    install(CODE "
        if(NOT EXISTS \"${file}\" OR \"${file}\" STREQUAL \"\")
            message(FATAL_ERROR \"The package carries ${what}, but ${variable} ('${file}') names no file: \"
                                \"build the preset that makes it first, or reconfigure with -D${variable}=FILE\")
        endif()" COMPONENT ${component})
    if(NOT file STREQUAL "")
        install(FILES ${file} DESTINATION ${destination} COMPONENT ${component})
    endif()
endfunction()

set(CPACK_PACKAGE_NAME qvr)
set(CPACK_PACKAGE_VENDOR "qvr developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_COMPONENT_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/CPackPerGenerator.cmake)
# One package holding the components listed in CPACK_COMPONENTS_ALL below.
set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
set(CPACK_STRIP_FILES ON)

if(WIN32)
    install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION . COMPONENT doc)
    set(CPACK_GENERATOR ZIP)
    if(CMAKE_SIZEOF_VOID_P EQUAL 4)
        set(CPACK_SYSTEM_NAME win32)
        if(TARGET axqvr_plugin)
            install(TARGETS axqvr_plugin RUNTIME DESTINATION . COMPONENT plugin)
        endif()
        # The 64-bit plug-in comes from the win64 preset's build.
        set(QVR_WIN64_PLUGIN "" CACHE FILEPATH
            "The 64-bit AXQVR.SPI (the win64 preset's plugin/AXQVR.SPI) that the Windows zip carries in x64/")
        qvr_install_output(QVR_WIN64_PLUGIN "the 64-bit plug-in (win64 preset)" x64 plugin)
    else()
        set(CPACK_SYSTEM_NAME win64)
        if(TARGET axqvr_plugin)
            install(TARGETS axqvr_plugin RUNTIME DESTINATION x64 COMPONENT plugin)
        endif()
    endif()
    qvr_install_output(QVR_VIEWER_HTML "the browser viewer (web preset)" . viewer)
    set(CPACK_COMPONENTS_ALL tool plugin doc viewer)
else()
    install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT doc)
    qvr_install_output(QVR_VIEWER_HTML "the browser viewer (web preset)" ${CMAKE_INSTALL_DATADIR}/qvr viewer)
    set(CPACK_GENERATOR TGZ DEB)
    set(CPACK_SYSTEM_NAME linux-${CMAKE_SYSTEM_PROCESSOR})
    set(CPACK_COMPONENTS_ALL tool doc dev viewer)
    # One .deb with everything; its dependencies come from dpkg-shlibdeps.
    set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
    set(CPACK_DEBIAN_PACKAGE_MAINTAINER "qvr developers <qvr@localhost>")
    set(CPACK_DEBIAN_PACKAGE_SECTION utils)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
    # What only some commands load when they run (mount's libfuse3).
    get_property(CPACK_DEBIAN_PACKAGE_RECOMMENDS GLOBAL PROPERTY QVR_DEBIAN_RECOMMENDS)
    set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "${PROJECT_DESCRIPTION}
 qvr lists, extracts, creates, tests and changes QVR packed data archives;
 the package also holds its manual page, bash completion, the archive
 library with its headers and CMake package, and a browser viewer.")
endif()
set(CPACK_PACKAGE_FILE_NAME ${CPACK_PACKAGE_NAME}-${CPACK_PACKAGE_VERSION}-${CPACK_SYSTEM_NAME})
include(CPack)
