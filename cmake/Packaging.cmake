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
        # The 64-bit plug-in comes from the win64 preset's build tree.
        set(QVR_WIN64_BUILD_DIR ${PROJECT_SOURCE_DIR}/build/win64 CACHE PATH
            "win64 build tree whose AXQVR.SPI goes into the Windows zip as x64/AXQVR.SPI")
        install(FILES ${QVR_WIN64_BUILD_DIR}/plugin/AXQVR.SPI DESTINATION x64 COMPONENT plugin OPTIONAL)
    else()
        set(CPACK_SYSTEM_NAME win64)
        if(TARGET axqvr_plugin)
            install(TARGETS axqvr_plugin RUNTIME DESTINATION x64 COMPONENT plugin)
        endif()
    endif()
    install(FILES ${QVR_VIEWER_HTML} DESTINATION . COMPONENT viewer OPTIONAL)
    set(CPACK_COMPONENTS_ALL tool plugin doc viewer)
else()
    install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT doc)
    install(FILES ${QVR_VIEWER_HTML} DESTINATION ${CMAKE_INSTALL_DATADIR}/qvr COMPONENT viewer OPTIONAL)
    set(CPACK_GENERATOR TGZ DEB)
    set(CPACK_SYSTEM_NAME linux-${CMAKE_SYSTEM_PROCESSOR})
    set(CPACK_COMPONENTS_ALL tool doc dev viewer)
    # One .deb with everything; its dependencies come from dpkg-shlibdeps.
    set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
    set(CPACK_DEBIAN_PACKAGE_MAINTAINER "qvr developers <qvr@localhost>")
    set(CPACK_DEBIAN_PACKAGE_SECTION utils)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
    set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "${PROJECT_DESCRIPTION}
 qvr lists, extracts, creates, tests and changes QVR packed data archives;
 the package also holds its manual page, bash completion, the archive
 library with its headers and CMake package, and a browser viewer.")
endif()
set(CPACK_PACKAGE_FILE_NAME ${CPACK_PACKAGE_NAME}-${CPACK_PACKAGE_VERSION}-${CPACK_SYSTEM_NAME})
include(CPack)
