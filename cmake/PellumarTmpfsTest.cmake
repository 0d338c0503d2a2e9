# pellumar_add_tmpfs_test(<name> SOURCES <files...> [LIBS <targets...>] [RESOURCES] [SIZE 32m] [EXT4_IMAGE 24m]
#                         [IMAGES <NAME:KIND:SIZE>...] [PROGRAM <test target>] [TIMEOUT <s>])
# A test program that needs a real small drive: ctest runs it through scripts/with-tmpfs-drive, which
# mounts a tmpfs of SIZE, maps it to a drive letter of a private Wine prefix (PELLUMAR_TMPFS_DRIVE tells
# the program which) and unmounts it afterwards. Where the machine refuses the mount the test is skipped.
# EXT4_IMAGE: the drive is a loop-mounted ext4 image of that size inside the tmpfs, and the program runs a
# second time to scan the image raw (PELLUMAR_RAW_IMAGE); skipped where loop devices are refused.
# IMAGES: further images in the tmpfs (ext4, fat16 or ntfs), each a drive of its own (PELLUMAR_DRIVE_<NAME>),
# scanned raw in the second run (PELLUMAR_IMAGE_<NAME>); skipped where loop devices or FUSE are refused.
# PROGRAM: the entry runs that test program (made by an earlier call) instead of building one of its own.
function(pellumar_add_tmpfs_test name)
  cmake_parse_arguments(T "RESOURCES" "TIMEOUT;SIZE;EXT4_IMAGE;PROGRAM" "SOURCES;LIBS;IMAGES" ${ARGN})
  if(T_PROGRAM)
    set(program ${T_PROGRAM})
    if(NOT T_TIMEOUT)
      set(T_TIMEOUT ${PELLUMAR_TEST_TIMEOUT})
    endif()
  else()
    set(program ${name})
    pellumar_test_executable(${name})
  endif()
  if(NOT T_SIZE)
    set(T_SIZE 32m)
  endif()
  set(image)
  if(T_EXT4_IMAGE)
    set(image --ext4-image ${T_EXT4_IMAGE})
  endif()
  foreach(image_arg IN LISTS T_IMAGES)
    list(APPEND image --image ${image_arg})
  endforeach()
  # Not the emulator: the script starts Wine itself, in the prefix that has the drive.
  add_test(NAME ${name}
           COMMAND ${PROJECT_SOURCE_DIR}/scripts/with-tmpfs-drive --build-dir ${CMAKE_BINARY_DIR} --size ${T_SIZE}
                   ${image} -- $<TARGET_FILE:${program}>)
  set_tests_properties(${name} PROPERTIES TIMEOUT ${T_TIMEOUT} SKIP_RETURN_CODE 77 RESOURCE_LOCK pellumar_tmpfs_drive)
endfunction()
