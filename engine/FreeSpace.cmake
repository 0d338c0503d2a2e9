# The free-space fill (FreeSpace.h/.cpp) belongs to the engine library; the folder's source glob may
# already have it.
get_target_property(_freespace_sources pellumar_engine SOURCES)
if(NOT "${CMAKE_CURRENT_SOURCE_DIR}/FreeSpace.cpp" IN_LIST _freespace_sources)
  target_sources(pellumar_engine PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/FreeSpace.cpp)
endif()
unset(_freespace_sources)
