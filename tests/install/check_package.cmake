# Builds the Debian package, unpacks it into a fresh root (as dpkg would lay it
# out, without touching this machine's package database), then runs the
# packaged zt and builds a consumer against the packaged library.
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})
set(root ${WORK_DIR}/root)

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "failed: ${ARGN}\n${out}\n${err}")
  endif()
  set(LAST_OUTPUT "${out}" PARENT_SCOPE)
endfunction()

run(cpack --config ${BINARY_DIR}/CPackConfig.cmake -B ${WORK_DIR}/out)
file(GLOB deb ${WORK_DIR}/out/*.deb)
list(LENGTH deb count)
if(NOT count EQUAL 1)
  message(FATAL_ERROR "cpack made ${count} packages: ${deb}")
endif()
run(dpkg-deb --field ${deb} Package Version Depends)
if(NOT LAST_OUTPUT MATCHES "Version: ${VERSION}")
  message(FATAL_ERROR "the package's fields: ${LAST_OUTPUT}")
endif()
run(dpkg-deb -x ${deb} ${root})

foreach(f usr/bin/zt usr/include/ztbase/version.h usr/include/ztbase/status.h
          usr/share/man/man1/zt.1 usr/share/bash-completion/completions/zt)
  if(NOT EXISTS ${root}/${f})
    message(FATAL_ERROR "the package has no ${f}")
  endif()
endforeach()
file(GLOB_RECURSE libs ${root}/usr/lib*/libztbase.so.${VERSION})
file(GLOB_RECURSE pcs ${root}/usr/lib*/ztbase.pc)
if(NOT libs OR NOT pcs)
  message(FATAL_ERROR "the package has no libztbase.so.${VERSION} or ztbase.pc")
endif()
get_filename_component(libdir "${libs}" DIRECTORY)

set(ENV{LD_LIBRARY_PATH} ${libdir})
run(${root}/usr/bin/zt --version)
if(NOT LAST_OUTPUT STREQUAL "zt (libztbase) ${VERSION}\n")
  message(FATAL_ERROR "the packaged zt --version printed: ${LAST_OUTPUT}")
endif()

# A consumer finds the package's library through find_package and pkg-config.
run(${CMAKE_COMMAND} -S ${SOURCE_DIR}/tests/install/consumer -B ${WORK_DIR}/build -G Ninja
    -DCMAKE_PREFIX_PATH=${root}/usr -DZTBASE_EXPECTED_VERSION=${VERSION})
run(${CMAKE_COMMAND} --build ${WORK_DIR}/build)
run(${WORK_DIR}/build/consumer_cxx)
get_filename_component(pcdir "${pcs}" DIRECTORY)
set(ENV{PKG_CONFIG_PATH} ${pcdir})
run(pkg-config --cflags --libs ztbase)
string(STRIP "${LAST_OUTPUT}" flags)
separate_arguments(flags UNIX_COMMAND "${flags}")
run(cc -std=c11 -Wall -Werror ${SOURCE_DIR}/tests/install/consumer/main.c ${flags}
    -o ${WORK_DIR}/consumer_c)
run(${WORK_DIR}/consumer_c)
if(NOT LAST_OUTPUT MATCHES "running ${VERSION}")
  message(FATAL_ERROR "the C consumer printed: ${LAST_OUTPUT}")
endif()
