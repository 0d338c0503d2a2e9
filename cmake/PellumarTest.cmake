# GoogleTest from Debian's sources, cross-built with the project.
set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)

# Every test program runs under Wine through the runner that the build folder gets.
configure_file(${PROJECT_SOURCE_DIR}/scripts/wine-run ${CMAKE_BINARY_DIR}/wine-run @ONLY
               FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_BINARY_DIR}/wine-run CACHE FILEPATH "" FORCE)

set(PELLUMAR_TEST_TIMEOUT 300 CACHE STRING "Time limit of one test program, in seconds")

# The console test program itself, from the T_SOURCES, T_LIBS, T_RESOURCES and T_TIMEOUT that the calling
# function parsed; T_TIMEOUT gets the default when unset.
macro(pellumar_test_executable name)
  add_executable(${name} ${T_SOURCES})
  if(T_RESOURCES)
    target_sources(${name} PRIVATE $<TARGET_OBJECTS:pellumar_resources>)
  endif()
  target_link_libraries(${name} PRIVATE ${T_LIBS} pellumar_test_support GTest::gmock GTest::gtest_main)
  target_link_options(${name} PRIVATE -mconsole)
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT ${PELLUMAR_TEST_TIMEOUT})
  endif()
endmacro()

# pellumar_add_test(<name> SOURCES <files...> [LIBS <targets...>] [RESOURCES] [TIMEOUT <s>])
# One test program, one ctest entry. RESOURCES links the program's resource script (string table, dialogs).
function(pellumar_add_test name)
  cmake_parse_arguments(T "RESOURCES" "TIMEOUT" "SOURCES;LIBS" ${ARGN})
  pellumar_test_executable(${name})
  add_test(NAME ${name} COMMAND ${name})
  set_tests_properties(${name} PROPERTIES TIMEOUT ${T_TIMEOUT})
endfunction()

# Test programs that need a real small drive.
include(${CMAKE_CURRENT_LIST_DIR}/PellumarTmpfsTest.cmake)
