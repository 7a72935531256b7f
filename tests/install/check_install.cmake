# Installs the library into a scratch prefix, then builds and runs a small C and
# C++ consumer through find_package(ztbase) and through pkg-config.
file(REMOVE_RECURSE ${WORK_DIR})
set(prefix ${WORK_DIR}/prefix)

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "failed: ${ARGN}\n${out}\n${err}")
  endif()
  set(LAST_OUTPUT "${out}" PARENT_SCOPE)
endfunction()

run(${CMAKE_COMMAND} --install ${BINARY_DIR} --prefix ${prefix})
run(${CMAKE_COMMAND} -S ${SOURCE_DIR}/tests/install/consumer -B ${WORK_DIR}/build -G Ninja
    -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_BUILD_RPATH=${prefix}/lib)
run(${CMAKE_COMMAND} --build ${WORK_DIR}/build)
run(${WORK_DIR}/build/consumer_cxx)
if(NOT LAST_OUTPUT MATCHES "failed trying to allocate memory")
  message(FATAL_ERROR "C++ consumer printed: ${LAST_OUTPUT}")
endif()

# pkg-config, as a C program's Makefile would use it.
file(GLOB pcdir ${prefix}/lib*/pkgconfig ${prefix}/lib/*/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "${pcdir}")
run(pkg-config --cflags --libs ztbase)
string(STRIP "${LAST_OUTPUT}" flags)
separate_arguments(flags UNIX_COMMAND "${flags}")
file(GLOB libdir ${prefix}/lib*/libztbase.so ${prefix}/lib/*/libztbase.so)
get_filename_component(libdir "${libdir}" DIRECTORY)
run(cc -std=c11 -Wall -Werror ${SOURCE_DIR}/tests/install/consumer/main.c ${flags}
    -Wl,-rpath,${libdir} -o ${WORK_DIR}/consumer_c)
run(${WORK_DIR}/consumer_c)
if(NOT LAST_OUTPUT MATCHES "the requested operation was successfully completed")
  message(FATAL_ERROR "C consumer printed: ${LAST_OUTPUT}")
endif()
