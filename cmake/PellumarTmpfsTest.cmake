# pellumar_add_tmpfs_test(<name> SOURCES <files...> [LIBS <targets...>] [RESOURCES] [SIZE 32m] [EXT4_IMAGE 24m]
#                         [TIMEOUT <s>])
# A test program that needs a real small drive: ctest runs it through scripts/with-tmpfs-drive, which
# mounts a tmpfs of SIZE, maps it to a drive letter of a private Wine prefix (PELLUMAR_TMPFS_DRIVE tells
# the program which) and unmounts it afterwards. Where the machine refuses the mount the test is skipped.
# EXT4_IMAGE: the drive is a loop-mounted ext4 image of that size inside the tmpfs, and the program runs a
# second time to scan the image raw (PELLUMAR_RAW_IMAGE); skipped where loop devices are refused.
function(pellumar_add_tmpfs_test name)
  cmake_parse_arguments(T "RESOURCES" "TIMEOUT;SIZE;EXT4_IMAGE" "SOURCES;LIBS" ${ARGN})
  pellumar_test_executable(${name})
  if(NOT T_SIZE)
    set(T_SIZE 32m)
  endif()
  set(image)
  if(T_EXT4_IMAGE)
    set(image --ext4-image ${T_EXT4_IMAGE})
  endif()
  # Not the emulator: the script starts Wine itself, in the prefix that has the drive.
  add_test(NAME ${name}
           COMMAND ${PROJECT_SOURCE_DIR}/scripts/with-tmpfs-drive --build-dir ${CMAKE_BINARY_DIR} --size ${T_SIZE}
                   ${image} -- $<TARGET_FILE:${name}>)
  set_tests_properties(${name} PROPERTIES TIMEOUT ${T_TIMEOUT} SKIP_RETURN_CODE 77 RESOURCE_LOCK pellumar_tmpfs_drive)
endfunction()
