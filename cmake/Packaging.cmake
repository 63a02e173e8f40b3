# Installation and packages.
#
#   cmake --install BUILD [--prefix DIR]   qvr, the archive headers and library, and the
#                                          CMake package (find_package(qvr) -> qvr::archive)
#   cpack --config BUILD/CPackConfig.cmake Linux: a .tar.gz of the tool and README;
#                                          Windows (win32 build): a zip of AXQVR.SPI, the
#                                          64-bit plug-in from the win64 build (x64/), qvr.exe
#                                          and README
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
# One archive holding only the components a user needs (CPACK_COMPONENTS_ALL
# below); the library and headers are for `cmake --install`.
set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
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
    set(CPACK_COMPONENTS_ALL tool plugin doc)
else()
    install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT doc)
    set(CPACK_GENERATOR TGZ)
    set(CPACK_SYSTEM_NAME linux-${CMAKE_SYSTEM_PROCESSOR})
    set(CPACK_COMPONENTS_ALL tool doc)
endif()
set(CPACK_PACKAGE_FILE_NAME ${CPACK_PACKAGE_NAME}-${CPACK_PACKAGE_VERSION}-${CPACK_SYSTEM_NAME})
include(CPack)
