# Shredding one file or folder (ShredFile.h/.cpp) belongs to the engine library; the folder's source glob
# may already have it. It needs the volume utilities.
get_target_property(_shredfile_sources pellumar_engine SOURCES)
if(NOT "${CMAKE_CURRENT_SOURCE_DIR}/ShredFile.cpp" IN_LIST _shredfile_sources)
  target_sources(pellumar_engine PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/ShredFile.cpp)
endif()
unset(_shredfile_sources)
target_link_libraries(pellumar_engine PUBLIC pellumar_libcommon)
