# ---- settings record, worker-thread base, counting and shredding threads ----
pellumar_add_test(app_settings_test
  SOURCES SettingsTests.cpp
  LIBS pellumar_settings)

pellumar_add_test(app_jobs_test
  SOURCES ThreadTests.cpp CalculateMetricsTests.cpp DeleteItemsTests.cpp JobPathsTests.cpp JobTestUtil.cpp
  LIBS pellumar_jobs
  RESOURCES)

# A drive root walked to its end and kept, on a real small drive (a tmpfs mapped to a drive letter).
include(${PROJECT_SOURCE_DIR}/cmake/PellumarTmpfsTest.cmake)
pellumar_add_tmpfs_test(app_jobs_drive_test
  SOURCES DeleteItemsDriveTests.cpp JobTestUtil.cpp
  LIBS pellumar_jobs
  SIZE 8m
  RESOURCES)
