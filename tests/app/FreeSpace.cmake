# ---- free-space job thread ----
include(${PROJECT_SOURCE_DIR}/cmake/PellumarTmpfsTest.cmake)
# JobTestUtil runs a job as its owner does.
set(_freespace_fakes ${PROJECT_SOURCE_DIR}/tests/engine/FreeSpaceFakes.cpp JobTestUtil.cpp)

# With the drive's answers faked, on the prefix's C: drive.
pellumar_add_test(app_freespace_test
  SOURCES CleanFreeSpaceTests.cpp ${_freespace_fakes}
  LIBS pellumar_jobs)
target_include_directories(app_freespace_test PRIVATE ${PROJECT_SOURCE_DIR}/tests/engine)

# The whole job on a real small drive (a tmpfs mapped to a drive letter).
pellumar_add_tmpfs_test(app_freespace_drive_test
  SOURCES CleanFreeSpaceDriveTests.cpp ${_freespace_fakes}
  LIBS pellumar_jobs)
target_include_directories(app_freespace_drive_test PRIVATE ${PROJECT_SOURCE_DIR}/tests/engine)
unset(_freespace_fakes)
