# ---- free-space fill ----
include(${PROJECT_SOURCE_DIR}/cmake/PellumarTmpfsTest.cmake)

# With the drive's answers faked, in a temporary folder of the prefix's C: drive.
pellumar_add_test(engine_freespace_test
  SOURCES FreeSpaceTests.cpp FreeSpaceFakes.cpp
  LIBS pellumar_engine)

# On a real small drive (a tmpfs mapped to a drive letter).
pellumar_add_tmpfs_test(engine_freespace_drive_test
  SOURCES FreeSpaceDriveTests.cpp FreeSpaceFakes.cpp
  LIBS pellumar_engine)
