# ---- shredding one file or folder ----
pellumar_add_test(engine_shredfile_test
  SOURCES ShredFileTests.cpp
  LIBS pellumar_engine)
