# Read by cpack once per generator. The zip and tarball unpack into one
# folder named after the package; a .deb's paths are the system's own.
if(CPACK_GENERATOR STREQUAL "DEB")
    set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
    set(CPACK_COMPONENT_INCLUDE_TOPLEVEL_DIRECTORY OFF)
endif()
