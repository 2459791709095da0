# cmake --install into a fresh prefix must give a working bin/Mozaro, its companions
# mozaro-encode, mozaro-slurm and (where they were built) mozaro-frame and mozaro-video, and
# their manual pages, unchanged, in share/man/man1.
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

set(companions mozaro-encode mozaro-slurm)
if(WITH_VIDEO)
  list(APPEND companions mozaro-video)
elseif(EXISTS "${PREFIX}/bin/mozaro-video")
  message(FATAL_ERROR "bin/mozaro-video is installed although it was not built")
endif()
if(WITH_FRAME)
  list(APPEND companions mozaro-frame)
elseif(EXISTS "${PREFIX}/bin/mozaro-frame")
  message(FATAL_ERROR "bin/mozaro-frame is installed although it was not built")
endif()
# Run without arguments, each answers with its usage text: it is there and it starts; and
# each knows the version.
foreach(companion ${companions})
  execute_process(COMMAND "${PREFIX}/bin/${companion}" RESULT_VARIABLE result ERROR_VARIABLE usage)
  if(NOT result EQUAL 1 OR NOT usage MATCHES "^usage: ${companion} ")
    message(FATAL_ERROR "installed bin/${companion}: status ${result}, standard error '${usage}'")
  endif()
  execute_process(COMMAND "${PREFIX}/bin/${companion}" --version RESULT_VARIABLE result OUTPUT_VARIABLE version)
  if(NOT result EQUAL 0 OR NOT version STREQUAL "${companion} ${VERSION}\n")
    message(FATAL_ERROR "installed bin/${companion} --version: status ${result}, output '${version}'")
  endif()
endforeach()
# mozaro-encode has the descriptor read by the Mozaro installed beside it, with no other on the PATH.
execute_process(COMMAND "${CMAKE_COMMAND}" -E env PATH=/usr/bin:/bin "${PREFIX}/bin/mozaro-encode" nothing.mg
                RESULT_VARIABLE result ERROR_VARIABLE refusal)
if(NOT result EQUAL 1 OR NOT refusal STREQUAL "mozaro-encode: cannot read descriptor nothing.mg: No such file or directory\n")
  message(FATAL_ERROR "installed bin/mozaro-encode nothing.mg: status ${result}, standard error '${refusal}'")
endif()

# mozaro-slurm finds the Mozaro beside it, with no other on the PATH.
execute_process(COMMAND "${CMAKE_COMMAND}" -E env PATH=/usr/bin:/bin "${PREFIX}/bin/mozaro-slurm" --version
                RESULT_VARIABLE result OUTPUT_VARIABLE version)
if(NOT result EQUAL 0 OR NOT version STREQUAL "mozaro-slurm ${VERSION}\n")
  message(FATAL_ERROR "installed bin/mozaro-slurm --version: status ${result}, output '${version}'")
endif()

# mozaro-video needs no other program: with nothing on the PATH it goes on to the panel.
if(WITH_VIDEO)
  execute_process(COMMAND "${CMAKE_COMMAND}" -E env PATH=/nowhere "${PREFIX}/bin/mozaro-video" 1 1 1
                          "${PREFIX}/no-panel.mp4" RESULT_VARIABLE result ERROR_VARIABLE message)
  if(NOT result EQUAL 1 OR NOT message MATCHES "^mozaro-video: cannot read panel ")
    message(FATAL_ERROR "installed bin/mozaro-video: status ${result}, standard error '${message}'")
  endif()
endif()

foreach(page Mozaro ${companions})
  execute_process(COMMAND "${CMAKE_COMMAND}" -E compare_files "${SOURCE}/${page}.1" "${PREFIX}/share/man/man1/${page}.1"
                  RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "share/man/man1/${page}.1 is missing or differs from ${page}.1")
  endif()
endforeach()
file(REMOVE_RECURSE "${PREFIX}")
