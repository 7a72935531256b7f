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
    -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_BUILD_RPATH=${prefix}/lib
    -DZTBASE_EXPECTED_VERSION=${VERSION})
run(${CMAKE_COMMAND} --build ${WORK_DIR}/build)
run(${WORK_DIR}/build/consumer_cxx)
if(NOT LAST_OUTPUT MATCHES "failed trying to allocate memory")
  message(FATAL_ERROR "C++ consumer printed: ${LAST_OUTPUT}")
endif()

# pkg-config, as a C program's Makefile would use it.
file(GLOB pcdir ${prefix}/lib*/pkgconfig ${prefix}/lib/*/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "${pcdir}")
run(pkg-config --modversion ztbase)
string(STRIP "${LAST_OUTPUT}" pc_version)
if(NOT pc_version STREQUAL VERSION)
  message(FATAL_ERROR "ztbase.pc says version ${pc_version}, the project ${VERSION}")
endif()
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
if(NOT LAST_OUTPUT MATCHES "running ${VERSION}")
  message(FATAL_ERROR "C consumer printed: ${LAST_OUTPUT}")
endif()

# The C++-only header says so to a C compiler.
file(WRITE ${WORK_DIR}/keyvalue.c "#include <ztbase/keyvalue.h>\n")
execute_process(COMMAND cc -std=c11 -c ${WORK_DIR}/keyvalue.c ${flags} -o ${WORK_DIR}/keyvalue.o
                RESULT_VARIABLE rc ERROR_VARIABLE err)
if(rc EQUAL 0 OR NOT err MATCHES "C\\+\\+ header")
  message(FATAL_ERROR "ztbase/keyvalue.h compiled as C: ${err}")
endif()

# The man page and the bash completion come with the install.
foreach(f share/man/man1/zt.1 share/bash-completion/completions/zt bin/zt)
  if(NOT EXISTS ${prefix}/${f})
    message(FATAL_ERROR "the install has no ${f}")
  endif()
endforeach()

# Hooks for tests live in the internal archive, not in the exported interface.
execute_process(COMMAND nm -D --defined-only ${libdir}/libztbase.so OUTPUT_VARIABLE symbols)
if(symbols MATCHES "test_hook")
  message(FATAL_ERROR "libztbase.so exports a test hook")
endif()
