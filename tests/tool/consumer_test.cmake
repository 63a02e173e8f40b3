# Installs the build tree into a scratch prefix, then builds and runs the
# example consumer against the installed package.
#   cmake -DBUILD_DIR=... -DSOURCE_DIR=... -DWORK_DIR=... -P consumer_test.cmake
file(REMOVE_RECURSE ${WORK_DIR})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${WORK_DIR}/prefix --component dev
                COMMAND_ERROR_IS_FATAL ANY)
foreach(f include/qvr/archive.h lib/libqvrarchive.a lib/cmake/qvr/qvrConfig.cmake lib/cmake/qvr/qvrTargets.cmake)
    if(NOT EXISTS ${WORK_DIR}/prefix/${f})
        message(FATAL_ERROR "not installed: ${f}")
    endif()
endforeach()
execute_process(COMMAND ${CMAKE_COMMAND} -S ${SOURCE_DIR}/examples/consumer -B ${WORK_DIR}/build -G Ninja
                        -DCMAKE_PREFIX_PATH=${WORK_DIR}/prefix -DCMAKE_BUILD_TYPE=Release
                        # A sanitizer build's library needs the same flags in its consumer.
                        "-DCMAKE_CXX_FLAGS=${CXX_FLAGS}" "-DCMAKE_EXE_LINKER_FLAGS=${LINKER_FLAGS}"
                COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND ${CMAKE_COMMAND} --build ${WORK_DIR}/build COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND ${WORK_DIR}/build/qvr_consumer OUTPUT_VARIABLE out COMMAND_ERROR_IS_FATAL ANY)
if(NOT out STREQUAL "readme.txt 100\ndata\\level1.bin 150\n")
    message(FATAL_ERROR "unexpected output:\n${out}")
endif()
file(REMOVE_RECURSE ${WORK_DIR})
