# GoogleTest for both builds and one helper that registers a test executable.
#
# The Linux build uses the installed GTest package; the Windows build compiles
# Debian's GoogleTest sources with the cross compiler. Each executable is one
# CTest test: under Wine every process start costs about a second.

if(CMAKE_CROSSCOMPILING)
  set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
else()
  find_package(GTest REQUIRED)
endif()

find_package(Threads REQUIRED)

# krax_add_test(<name> SOURCES <files...> LIBRARIES <targets...>)
function(krax_add_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBRARIES" ${ARGN})
  if(NOT ARG_SOURCES)
    return()
  endif()
  add_executable(${name} ${ARG_SOURCES})
  target_include_directories(${name} PRIVATE ${KRAX_INCLUDE_ROOT})
  target_link_libraries(${name} PRIVATE ${ARG_LIBRARIES} GTest::gtest_main GTest::gtest Threads::Threads)
  if(WIN32)
    # Tests of the walker recurse as deep as the utility does.
    target_link_options(${name} PRIVATE -Wl,--stack,15000000)
  endif()
  add_test(NAME ${name} COMMAND ${name})
endfunction()

# Platform-only test sources live in a posix/ or win32/ subfolder.
if(WIN32)
  set(KRAX_TEST_PLATFORM_DIR win32)
else()
  set(KRAX_TEST_PLATFORM_DIR posix)
endif()

# krax_add_test_folder(<name> LIBRARIES <targets...>): every *.cpp of the calling
# folder and of its subfolder for the platform being built.
function(krax_add_test_folder name)
  cmake_parse_arguments(ARG "" "" "LIBRARIES" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp
       ${CMAKE_CURRENT_SOURCE_DIR}/${KRAX_TEST_PLATFORM_DIR}/*.cpp)
  krax_add_test(${name} SOURCES ${sources} LIBRARIES ${ARG_LIBRARIES})
endfunction()
