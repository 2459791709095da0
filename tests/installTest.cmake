# cmake --install into a fresh prefix must give a working bin/Mozaro and the manual page,
# unchanged, in share/man/man1.
file(REMOVE_RECURSE "${PREFIX}")
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD}" --prefix "${PREFIX}"
                RESULT_VARIABLE result OUTPUT_QUIET)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "cmake --install failed: ${result}")
endif()

execute_process(COMMAND "${PREFIX}/bin/Mozaro" --version RESULT_VARIABLE result OUTPUT_VARIABLE version)
if(NOT result EQUAL 0 OR NOT version STREQUAL "Mozaro ${VERSION}\n")
  message(FATAL_ERROR "installed bin/Mozaro --version: status ${result}, output '${version}'")
endif()

execute_process(COMMAND "${CMAKE_COMMAND}" -E compare_files "${SOURCE}/Mozaro.1" "${PREFIX}/share/man/man1/Mozaro.1"
                RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "share/man/man1/Mozaro.1 is missing or differs from Mozaro.1")
endif()
file(REMOVE_RECURSE "${PREFIX}")
